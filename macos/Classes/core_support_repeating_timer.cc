// src/support/repeating_timer.cc, compiled into the pod (see tarq_engine.podspec).
#include "../../src/support/repeating_timer.cc"
