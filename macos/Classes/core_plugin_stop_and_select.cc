#include "../../src/plugin/stop_and_select.cc"
