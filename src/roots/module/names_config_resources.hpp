// Names used only by the administrative resources, in addition to the shared
// table in names.hpp.  Each entry X(id) interns the text "id".
#pragma once

#define ROOTS_CONFIG_RESOURCE_NAMES(X) X(chain)
