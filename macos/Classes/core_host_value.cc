// src/host/value.cc, compiled into the pod (see tarq_engine.podspec).
#include "../../src/host/value.cc"
