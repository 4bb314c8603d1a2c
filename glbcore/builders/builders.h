// The scene writers of scenes.h: each picks the layout of its scene (float
// arrays here, compressed/ or spheres/) and has a size twin. A float layout
// is planned before any array is read: the writer and its twin lay out the
// same document and payload, and only the writer then reads the values.
#pragma once

#include <cstddef>
#include <vector>

#include "glb/glb.h"

namespace glbcore {

// A float layout as planned: every block, view, accessor and node of the
// file, the refusals the writer makes before it reads an array made. The
// payload's fills read the scene's arrays when the file is written.
struct FloatLayout {
    gltf::Document document;
    gltf::Payload payload;
    int position = -1;            // the POSITION accessor, whose bounds the values decide; -1: none
    std::vector<int> attributes;  // the accessors of the values per point, planned at their
                                  // longest bounds
};

// The most bytes the planned file can take: its size with the POSITION
// bounds at the longest text any float has.
std::size_t largest_size(FloatLayout layout);

}  // namespace glbcore
