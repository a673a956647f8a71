// src/helper/helper_client.cc, compiled into the pod (see tarq_engine.podspec).
#include "../../src/helper/helper_client.cc"
