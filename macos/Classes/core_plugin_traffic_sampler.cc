#include "../../src/plugin/traffic_sampler.cc"
