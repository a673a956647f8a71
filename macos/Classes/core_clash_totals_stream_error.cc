// src/clash/totals_stream_error.cc, compiled into the pod (see tarq_engine.podspec).
#include "../../src/clash/totals_stream_error.cc"
