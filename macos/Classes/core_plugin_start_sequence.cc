// src/plugin/start_sequence.cc, compiled into the pod (see tarq_engine.podspec).
#include "../../src/plugin/start_sequence.cc"
