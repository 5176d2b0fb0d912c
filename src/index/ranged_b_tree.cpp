#include "index/ranged_b_tree.hpp"
