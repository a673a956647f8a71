// src/clash/clash_error.cc, compiled into the pod (see tarq_engine.podspec).
#include "../../src/clash/clash_error.cc"
