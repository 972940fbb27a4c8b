// The program's entry: command-line arguments are ignored.
#include "core/proxy.h"

int main() {
    return run_proxy();
}
