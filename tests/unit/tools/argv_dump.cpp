// Test helper: writes its argument vector, one entry per line, to the file
// named by OSTRELLE_ARGV_FILE, so a test can see exactly what it was given.
// The file appears whole (written aside, then renamed).
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char **argv)
{
    const char *out = getenv("OSTRELLE_ARGV_FILE");
    if (!out)
        return 2;
    std::string tmp = std::string(out) + ".part";
    FILE *f = fopen(tmp.c_str(), "w");
    if (!f)
        return 2;
    for (int i = 0; i < argc; i++)
        fprintf(f, "%s\n", argv[i]);
    if (fclose(f) != 0 || rename(tmp.c_str(), out) != 0)
        return 2;
    return 0;
}
