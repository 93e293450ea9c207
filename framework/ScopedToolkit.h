// Installing a toolkit for a scope (see platform/Scoped.h).
#pragma once

#include "framework/Toolkit.h"
#include "platform/Scoped.h"

using ScopedToolkit = platform::ScopedInstall<IToolkit, &InstallToolkit>;
