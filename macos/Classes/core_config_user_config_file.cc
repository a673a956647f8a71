// src/config/user_config_file.cc, compiled into the pod (see tarq_engine.podspec).
#include "../../src/config/user_config_file.cc"
