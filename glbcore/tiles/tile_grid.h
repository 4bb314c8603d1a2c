// The tiler's passes of tiles.h over the key grid: what they share about
// how a key names the octree node of each level.
#pragma once

#include "tiles.h"

namespace glbcore {

// The node of level `level` (0..10) holding a key is key >> level_shift(level).
inline int level_shift(int level) { return 3 * (TILE_KEY_LEVELS - level); }

}  // namespace glbcore
