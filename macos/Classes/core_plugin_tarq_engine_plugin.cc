// src/plugin/tarq_engine_plugin.cc, compiled into the pod (see tarq_engine.podspec).
#include "../../src/plugin/tarq_engine_plugin.cc"
