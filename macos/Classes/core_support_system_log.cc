// src/support/system_log.cc, compiled into the pod (see tarq_engine.podspec).
#include "../../src/support/system_log.cc"
