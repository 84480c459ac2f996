#pragma once

#include <string>

// Whether a window can be shown: false, with the reason, when the toolkit
// would find no display to connect to.
bool DisplayAvailable(std::string& reason);
