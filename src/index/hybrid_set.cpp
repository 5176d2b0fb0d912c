#include "index/hybrid_set.hpp"
