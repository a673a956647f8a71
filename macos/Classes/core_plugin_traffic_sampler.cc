// src/plugin/traffic_sampler.cc, compiled into the pod (see tarq_engine.podspec).
#include "../../src/plugin/traffic_sampler.cc"
