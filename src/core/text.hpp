// The text helpers are public (velmar/text.hpp); the core layer implements them.
#pragma once

#include "velmar/text.hpp"
