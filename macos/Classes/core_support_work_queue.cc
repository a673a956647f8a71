// src/support/work_queue.cc, compiled into the pod (see tarq_engine.podspec).
#include "../../src/support/work_queue.cc"
