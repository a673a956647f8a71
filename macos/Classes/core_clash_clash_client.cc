// src/clash/clash_client.cc, compiled into the pod (see tarq_engine.podspec).
#include "../../src/clash/clash_client.cc"
