// The hidden build-version line of the main dialog, made from the compiler's __DATE__ and __TIME__
// ("May 31 2011", "09:39:33" give "Build Ver : 0011.0531.0939").
#pragma once

#include <string>

std::string BuildVersionLine(const char* date, const char* time);
