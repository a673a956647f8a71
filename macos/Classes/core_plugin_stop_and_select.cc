// src/plugin/stop_and_select.cc, compiled into the pod (see tarq_engine.podspec).
#include "../../src/plugin/stop_and_select.cc"
