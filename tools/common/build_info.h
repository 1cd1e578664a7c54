// Facts of the build, written at build time (see cmake/WriteBuildInfo.cmake).
#pragma once

namespace kelvo::programs {

extern const char* const kBuildVersion; // the project version, "1.0.0"
extern const char* const kBuildCommit; // abbreviated commit, "+modified" when changed; or "unknown"
extern const char* const kBuildType;   // CMAKE_BUILD_TYPE, or "none"

} // namespace kelvo::programs
