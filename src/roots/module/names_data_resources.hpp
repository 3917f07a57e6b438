// Names used only by the data-access resources, in addition to the shared
// table in names.hpp.  Each entry X(id) interns the text "id".
#pragma once

#define ROOTS_DATA_RESOURCE_NAMES(X)
