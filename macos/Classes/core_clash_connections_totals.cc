// src/clash/connections_totals.cc, compiled into the pod (see tarq_engine.podspec).
#include "../../src/clash/connections_totals.cc"
