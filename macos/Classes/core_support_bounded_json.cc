// src/support/bounded_json.cc, compiled into the pod (see tarq_engine.podspec).
#include "../../src/support/bounded_json.cc"
