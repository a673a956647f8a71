// src/helper/socket_transport.cc, compiled into the pod (see tarq_engine.podspec).
#include "../../src/helper/socket_transport.cc"
