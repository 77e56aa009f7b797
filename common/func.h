// Everything of the glue a module uses: the function type, classes and modules, the shortcuts.
#pragma once

#include "classes.h"
#include "command.h"
#include "function.h"
#include "lookups.h"
