// Small builders shared by the engine tests.
#pragma once

#include <string>
#include <utility>

#include "codec/value.h"

namespace zez {

// A map holding the single entry key -> v.
inline Map map_of(std::string key, Value v) {
  Map m;
  m.insert(std::move(key), std::move(v));
  return m;
}

}  // namespace zez
