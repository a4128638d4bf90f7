#pragma once

// Forces one base64 path for a scope, then puts back the one that was in use.

#include <gtest/gtest.h>

#include "base64_paths.h"

namespace velmora::test {

class PathGuard {
 public:
  explicit PathGuard(base64_paths::Path path) : m_previous(base64_paths::selected_path()) {
    EXPECT_TRUE(base64_paths::select_path(path)) << base64_paths::path_name(path);
  }
  ~PathGuard() { base64_paths::select_path(m_previous); }
  PathGuard(const PathGuard&) = delete;
  PathGuard& operator=(const PathGuard&) = delete;

 private:
  base64_paths::Path m_previous;
};

}  // namespace velmora::test
