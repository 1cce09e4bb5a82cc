# SPDX-License-Identifier: Apache-2.0
# The layers point one way (Platform < Common < Agent < Gui), and the build
# holds them to it: each layer library exports an include root that holds
# only that layer, <build>/include/<layer>/<Layer> -> src/<Layer>, so that
# `#include "Common/T_DebugLog.h"` resolves only where Common is linked. A
# layer's own sources see their own root and those of the layers below;
# a header of a layer above is not found.
function(kelvra_layer target layer)
  string(TOLOWER ${layer} lower)
  set(root ${PROJECT_BINARY_DIR}/include/${lower})
  file(MAKE_DIRECTORY ${root})
  file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${layer} ${root}/${layer} SYMBOLIC)
  target_include_directories(${target} PUBLIC ${root})
endfunction()
