// The old name of mem_fresh_blocks.hpp, for the Swing files that still include
// it while they are being changed elsewhere; new code includes the mem_ name.
#pragma once

#include "core/mem_fresh_blocks.hpp"
