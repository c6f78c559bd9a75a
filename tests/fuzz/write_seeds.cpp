// Writes the seed corpus of every target: write_seeds <dir> makes <dir>/<target>/seed-N.
#include <filesystem>
#include <fstream>
#include <iostream>

#include "targets.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: write_seeds <dir>\n";
        return 2;
    }
    for (const auto& t : kestrel_fuzz::all_targets) {
        const auto dir = std::filesystem::path(argv[1]) / t.name;
        std::filesystem::create_directories(dir);
        int n = 0;
        for (const auto& s : kestrel_fuzz::seeds(t.name)) {
            std::ofstream f(dir / ("seed-" + std::to_string(n++)), std::ios::binary);
            f.write(reinterpret_cast<const char*>(s.data()),
                    static_cast<std::streamsize>(s.size()));
        }
    }
    return 0;
}
