// src/clash/padded_buffer.cc, compiled into the pod (see tarq_engine.podspec).
#include "../../src/clash/padded_buffer.cc"
