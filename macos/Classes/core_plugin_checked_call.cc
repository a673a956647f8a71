// src/plugin/checked_call.cc, compiled into the pod (see tarq_engine.podspec).
#include "../../src/plugin/checked_call.cc"
