#include "../../src/plugin/engine_state.cc"
