#pragma once

// SORVEL_TARGET_BEGIN("avx2,fma") ... SORVEL_TARGET_END compiles every function defined between
// them for the named instruction sets, in g++ and in clang alike (clang ignores the GCC target
// pragma and has an attribute region instead). Open the region after the last #include, so no
// inline function of the standard library is compiled for those instructions by accident and then
// picked by the linker for a caller on an older processor.

#define SORVEL_PRAGMA_TEXT_(...) #__VA_ARGS__

#if defined(__clang__)
#define SORVEL_TARGET_BEGIN(features) \
  _Pragma(SORVEL_PRAGMA_TEXT_(        \
      clang attribute push(__attribute__((target(features))), apply_to = function)))
#define SORVEL_TARGET_END _Pragma("clang attribute pop")
#else
#define SORVEL_TARGET_BEGIN(features) \
  _Pragma("GCC push_options") _Pragma(SORVEL_PRAGMA_TEXT_(GCC target(features)))
#define SORVEL_TARGET_END _Pragma("GCC pop_options")
#endif
