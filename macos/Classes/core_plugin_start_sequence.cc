#include "../../src/plugin/start_sequence.cc"
