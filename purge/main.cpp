#include "trevane.h"

// The nightly purge takes no arguments: everything it needs comes from tokens.
int main() {
    return trevane_run();
}
