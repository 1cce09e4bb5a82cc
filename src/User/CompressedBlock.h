// SPDX-License-Identifier: Apache-2.0
// The compressed-stream form the agents inflate (a task's input, a data
// block): the two tags, the content's size, then one zlib stream. Plain
// functions; any thread.
#pragma once

#include <string>
#include <string_view>

// `content` in the compressed-stream form. Throws std::length_error for
// content of 2 GiB or more (a block cannot carry it).
std::string CompressBlock(std::string_view content);
