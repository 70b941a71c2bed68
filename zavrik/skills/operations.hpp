// Packaging operations: the packable-file rule, junk and tree removal, the
// pruning of a copied templates tree and the bundler's data list.
#pragma once

#include "function.hpp"

namespace zavrik {

extern const FunctionDef kPruneTemplatesDir;
extern const FunctionDef kCollectSkillDatas;
extern const FunctionDef kRemoveTree;
extern const FunctionDef kIsPackableFile;
extern const FunctionDef kRemovePackagingJunk;

}  // namespace zavrik
