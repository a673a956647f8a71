// src/helper/helper_service.cc, compiled into the pod (see tarq_engine.podspec).
#include "../../src/helper/helper_service.cc"
