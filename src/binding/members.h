#pragma once
// The public surface as data: one row per member of ModularTensor and per
// module function, in definition order.
#include <vector>

#include "binding/callable.h"

namespace kalvex::py {

const std::vector<FunctionDef>& class_members();
const std::vector<FunctionDef>& module_functions();

extern const char* const kClassDoc;
extern const char* const kModuleDoc;

}  // namespace kalvex::py
