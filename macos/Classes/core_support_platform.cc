// src/support/platform.cc, compiled into the pod (see tarq_engine.podspec).
#include "../../src/support/platform.cc"
