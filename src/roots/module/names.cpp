#include "roots/module/names.hpp"

namespace roots {

Names names{};

namespace {

bool interned = false;

struct Entry {
    PyObject** slot;
    const char* text;
};

const Entry entries[] = {
#define ROOTS_ENTRY_IDENTIFIER(id) {&names.id, #id},
#define ROOTS_ENTRY_TEXT(id, text) {&names.id, text},
    ROOTS_IDENTIFIERS(ROOTS_ENTRY_IDENTIFIER) ROOTS_TEXTS(ROOTS_ENTRY_TEXT)
    ROOTS_CONFIG_RESOURCE_NAMES(ROOTS_ENTRY_IDENTIFIER) ROOTS_DATA_RESOURCE_NAMES(ROOTS_ENTRY_IDENTIFIER)
#undef ROOTS_ENTRY_IDENTIFIER
#undef ROOTS_ENTRY_TEXT
};

}  // namespace

void forget_names() {
    for (const Entry& entry : entries) {
        *entry.slot = nullptr;
    }
    interned = false;
}

int intern_names() {
    if (interned) {
        return 0;
    }
    for (const Entry& entry : entries) {
        if (*entry.slot == nullptr) {
            *entry.slot = PyUnicode_InternFromString(entry.text);
            if (*entry.slot == nullptr) {
                return -1;
            }
        }
    }
    interned = true;
    return 0;
}

}  // namespace roots
