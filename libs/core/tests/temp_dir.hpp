#pragma once
#include "kivo/testing/temp_dir.hpp"
