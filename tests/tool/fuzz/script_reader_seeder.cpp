// Writes the seed corpus of the script reader fuzzer into the folder given:
// scripts as the installer writes them, and one of each malformed kind.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    const std::string open = "-open \"C:\\\\Games\\\\GTA San Andreas\\\\models\\\\gta3.img\"";
    const std::string exportLine = "-export \"a.dff\" \"D:\\\\Mod\\\\Backups\\\\gta3.img\\\\a.dff\"";
    const std::string importLine = "-import \"D:\\\\Mod\\\\gta3.img\\\\a.dff\"";
    const std::string player = "-open \"C:\\\\Games\\\\GTA San Andreas\\\\models\\\\player.img\"";
    const std::string full = open + "\r\n" + exportLine + "\r\n" +
                             "-export \"b.txd\" \"D:\\\\Mod\\\\Backups\\\\gta3.img\\\\b.txd\"\r\n" + importLine +
                             "\r\n-import \"D:\\\\Mod\\\\gta3.img\\\\b.txd\"\r\n-close\r\n" + player +
                             "\r\n-export \"c.dff\" \"D:\\\\Mod\\\\Backups\\\\player.img\\\\c.dff\"\r\n"
                             "-import \"D:\\\\Mod\\\\player.img\\\\c.dff\"\r\n";
    const std::vector<std::string> seeds = {
        full,
        open + "\r\n-close\r\n" + player + "\r\n",
        "-open \"C:\\\\\\\\models\\\\gta3.img\"\n-close\n-open \"\\\\\\\\nas\\\\g\\\\models\\\\player.img\"",
        open + "\n" + exportLine + "\n" + importLine,
        "-open \"E:\\\\Spiele\\\\\xc4\xd6\\\\models\\\\gta3.img\"\r\n-import \"D:\\\\Big Car.DFF\"\r\n",
        // Malformed kinds.
        "-opn \"a\"\r\n",
        open + "\r\n\r\n-close\r\n",
        "-open a.img\r\n",
        "-open \"a.img\r\n",
        "-open \"C:\\Games\"\r\n",
        "-open \"\"\r\n",
        open + "\r\n-export \"a.dff\"\r\n",
        open + "\r\n-import \"a\" \"b\"\r\n",
        open + "\r\n-close now\r\n",
        "-export \"a\" \"b\"\r\n",
        "-close\r\n",
        open + "\r\n-import \"D:\\\\Mod\\\\\"\r\n",
        std::string("-open \"a\0b\"\r\n", 13),
    };
    for (size_t i = 0; i < seeds.size(); ++i) {
        std::ofstream out(std::string(argv[1]) + "/seed_" + std::to_string(i), std::ios::binary);
        out << seeds[i];
    }
    return 0;
}
