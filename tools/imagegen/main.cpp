// Placeholder until the image tool lands.
#include <cstdio>
int main()
{
    std::fprintf(stderr, "imagegen: not built yet\n");
    return 1;
}
