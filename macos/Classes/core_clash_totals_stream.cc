// src/clash/totals_stream.cc, compiled into the pod (see tarq_engine.podspec).
#include "../../src/clash/totals_stream.cc"
