// Reads the MOF text our drivers' schemas are written in: class declarations with
// qualifier lists, properties of the scalar CIM types with optional defaults, and comments.
// Instances, arrays, references, methods, flavors and pragmas are not accepted.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "Bmof.h"

namespace mof {

class ParseError : public std::runtime_error {
 public:
  ParseError(const std::string& file, int line, int column, const std::string& message)
      : std::runtime_error(file + ":" + std::to_string(line) + ":" + std::to_string(column) +
                           ": " + message) {}
};

// Throws ParseError. Besides the grammar, a class with the WMI qualifier must carry a
// guid("{...}") qualifier in registry form, and its WmiDataId values must be distinct
// positive integers.
std::vector<Class> parseMof(const std::string& text, const std::string& fileName = "<mof>");

}  // namespace mof
