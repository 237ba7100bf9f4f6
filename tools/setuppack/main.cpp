// Placeholder until the package tool lands.
#include <cstdio>
int main()
{
    std::fprintf(stderr, "setuppack: not built yet\n");
    return 1;
}
