// The hex text helpers are public (velmar/hex.hpp); the codec layer implements them.
#pragma once

#include "velmar/hex.hpp"
