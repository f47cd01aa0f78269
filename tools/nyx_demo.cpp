// Placeholder main job until the simulated chip and bring-up exist.
#include <cstdio>
int main() { std::puts("nyx-demo: nothing to run yet"); return 0; }
