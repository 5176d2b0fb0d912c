#include "index/stored_item.hpp"
