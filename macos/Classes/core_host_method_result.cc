// src/host/method_result.cc, compiled into the pod (see tarq_engine.podspec).
#include "../../src/host/method_result.cc"
