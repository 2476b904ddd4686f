// The floor for start-up: a C++ program that prints one line, built like tessarin-cli.
#include <cstdio>

int main() {
    std::puts("hello 1.7.1");
    return 0;
}
