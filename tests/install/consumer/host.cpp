// A host program built against the installed tree: open, typed values, read back.
#include <cstdio>
#include <string>

#include "core/VORN.h"

int main(int argc, char **argv) {
    if (argc < 2) {
        return 2;
    }
    VORN::initializeVORN(argv[1], VORNLogNone);
    VORN *store = VORN::vornWithID("host");
    if (!store) {
        return 1;
    }
    store->set(int32_t(42), "answer");
    store->set(std::string("installed"), "where");
    std::string where;
    store->getString("where", where);
    printf("answer=%d where=%s\n", store->getInt32("answer"), where.c_str());
    VORN::onExit();
    return 0;
}
