// src/plugin/engine_state.cc, compiled into the pod (see tarq_engine.podspec).
#include "../../src/plugin/engine_state.cc"
