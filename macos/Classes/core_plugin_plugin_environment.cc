// src/plugin/plugin_environment.cc, compiled into the pod (see tarq_engine.podspec).
#include "../../src/plugin/plugin_environment.cc"
