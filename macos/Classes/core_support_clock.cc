// src/support/clock.cc, compiled into the pod (see tarq_engine.podspec).
#include "../../src/support/clock.cc"
