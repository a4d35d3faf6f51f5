// A player's life with the game's archives, against a model. Random histories
// of three mods that share names (some with the same bytes, some not), each
// shipped in application folders of its own: installs and undos in any
// order, downloads deleted, fresh copies unpacked and installed, the game
// repaired, another program writing an entry, the game running (holding one
// archive) during an install, a folder's install record or Backups deleted,
// and power cuts between runs. The installs and undos go through the
// program as Install.exe and Undo.cmd start it (Install.dat written into the
// folder, then -script; -restore). After every step every entry of both
// archives is held against the model, by its bytes, and both archives
// against the game's rules.
//
// The model, per entry of each archive: a stack of installs over a base.
//  - The base is the game's own bytes (none for a name the game does not
//    have), or another program's bytes once it wrote the entry (which also
//    clears the entry's stack), or the game's own bytes again after a repair
//    (which clears every stack; the entries the mods added are gone).
//  - An install pushes its file for each of its entries. An install of a
//    mod that is already in the game (from the folder that installed it or
//    from a fresh copy) is the same install: it moves to the top.
//  - An undo from a folder removes that folder's install from every stack,
//    wherever it lies in it. A folder that never installed (a fresh copy, or
//    one whose install failed or was undone) changes nothing; while an entry
//    holds one of its mod's files it fails and says what to do (run
//    Install.exe from that folder, then Undo.cmd), otherwise it says there is
//    nothing to undo and succeeds. A folder whose install is no longer in the
//    game changes nothing.
//  - An entry holds the file of the top of its stack, else its base; an
//    entry with neither is absent.
//  - An install while the game holds an archive fails and changes neither
//    archive; any other install succeeds (exit status 0).
// Where the history has no repair and no other program's change, undoing
// every install still in the game (from a fresh copy where its folders are
// gone) gives both archives back byte for byte.
//
// VELTRIN_PLAYER_LIFE_SEED=<n> runs that seed alone; a divergence prints the
// seed, the history up to it and what each entry held against the model.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive_builder.h"
#include "img_rules.h"
#include "testing/memory_file_system.h"
#include "tool/shell/tool_main.h"
#include "tool_test_support.h"

namespace veltrin::tool {
namespace {

using namespace testing;
using archive::testing::MemoryFileSystem;

constexpr int kSeeds = 60;
constexpr int kSteps = 18;

std::string Folded(std::string name) {
    for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return name;
}

// A file's bytes without the zeros that end it: an entry holds a file when
// it starts with these bytes and is zeros after them.
Bytes Trimmed(Bytes bytes) {
    while (!bytes.empty() && bytes.back() == 0) bytes.pop_back();
    return bytes;
}

// ---------------------------------------------------------------------------
// The mods and the game.

struct ModFile {
    std::string archive;  // kGta3 or kPlayer
    std::string name;
    Bytes bytes;
};

struct Mod {
    std::string title;
    std::vector<ModFile> files;
};

Bytes Data(size_t size, uint32_t seed) { return archive::testing::Pattern(size, seed); }

// Three mods. All three replace infernus.dff, each with its own file; A and
// B replace model1.txd, B and C model2.dff, A and C vest.dff; A and C add
// shared_sign.txd and A and B veltrin_cap.txd with the same bytes; each adds
// a name of its own.
std::vector<Mod> Mods() {
    const Bytes sign = Data(2500, 99), cap = Data(3000, 98);
    return {
        {"A",
         {{kGta3, "infernus.dff", Data(7000, 10)},
          {kGta3, "model1.txd", Data(3000, 11)},
          {kGta3, "shared_sign.txd", sign},
          {kGta3, "a_only.dff", Data(5000, 12)},
          {kPlayer, "vest.dff", Data(1500, 13)},
          {kPlayer, "veltrin_cap.txd", cap}}},
        {"B",
         {{kGta3, "infernus.dff", Data(500, 20)},
          {kGta3, "model1.txd", Data(9000, 21)},
          {kGta3, "b_only.txd", Data(100, 22)},
          {kGta3, "model2.dff", Data(4100, 23)},
          {kPlayer, "veltrin_cap.txd", cap},
          {kPlayer, "cloth3.dff", Data(6000, 24)}}},
        {"C",
         {{kGta3, "infernus.dff", Data(12000, 30)},
          {kGta3, "shared_sign.txd", sign},
          {kGta3, "model2.dff", Data(2000, 31)},
          {kGta3, "infernus.txd", Data(800, 32)},
          {kPlayer, "vest.dff", Data(4000, 33)},
          {kPlayer, "c_hat.dff", Data(2048, 34)}}},
    };
}

struct Stock {
    Bytes gta3, player;
};

Stock MakeStock() {
    std::vector<std::pair<std::string, uint16_t>> gta3;
    for (int i = 0; i < 24; ++i) gta3.push_back({"model" + std::to_string(i) + (i % 2 ? ".txd" : ".dff"), 1 + i % 4});
    gta3.push_back({"infernus.dff", 3});
    gta3.push_back({"infernus.txd", 4});
    std::vector<std::pair<std::string, uint16_t>> player;
    for (int i = 0; i < 10; ++i) player.push_back({"cloth" + std::to_string(i) + (i % 2 ? ".dff" : ".txd"), 1 + i % 3});
    player.push_back({"vest.dff", 2});
    return {archive::testing::SoundArchive(gta3, 1), archive::testing::SoundArchive(player, 2)};
}

// ---------------------------------------------------------------------------
// The model.

struct Layer {
    int install = 0;  // which install put it there
    Bytes bytes;
};

struct Slot {
    std::optional<Bytes> base;
    std::vector<Layer> stack;

    [[nodiscard]] std::optional<Bytes> Holds() const {
        if (!stack.empty()) return stack.back().bytes;
        return base;
    }
};

// Entries by archive path, then by folded name.
using Entries = std::map<std::string, std::map<std::string, Slot>>;

Entries StockEntries(MemoryFileSystem& fs) {
    Entries entries;
    for (const std::string& path : {kGta3, kPlayer})
        for (auto& [name, bytes] : ReadContent(fs, path)) entries[path][Folded(name)].base = std::move(bytes);
    return entries;
}

struct Model {
    Entries entries;
    std::map<int, int> modOf;  // install -> mod
    int nextInstall = 1;

    // The install of the mod still in the game, if any (it holds a layer).
    [[nodiscard]] std::optional<int> InGame(int mod) const {
        for (const auto& [path, slots] : entries)
            for (const auto& [name, slot] : slots)
                for (const Layer& layer : slot.stack)
                    if (modOf.at(layer.install) == mod) return layer.install;
        return std::nullopt;
    }
    void RemoveLayers(int install) {
        for (auto& [path, slots] : entries)
            for (auto& [name, slot] : slots)
                std::erase_if(slot.stack, [&](const Layer& layer) { return layer.install == install; });
    }
    // Returns the install the folder now belongs to.
    int Install(int mod, const Mod& files) {
        const std::optional<int> same = InGame(mod);
        const int install = same ? *same : nextInstall++;
        modOf[install] = mod;
        RemoveLayers(install);
        for (const ModFile& file : files.files) entries[file.archive][file.name].stack.push_back({install, file.bytes});
        return install;
    }
    void OtherProgram(const std::string& path, const std::string& name, const Bytes& bytes) {
        Slot& slot = entries[path][name];
        slot.base = bytes;
        slot.stack.clear();
    }
    void Repair(const Entries& stock) { entries = stock; }
    // Whether an entry holds one of the mod's files (put in from any folder,
    // or the same bytes from another mod).
    [[nodiscard]] bool HoldsAFileOf(const Mod& mod) const {
        for (const ModFile& file : mod.files) {
            const auto slots = entries.find(file.archive);
            if (slots == entries.end()) continue;
            const auto slot = slots->second.find(file.name);
            if (slot != slots->second.end() && slot->second.Holds() == file.bytes) return true;
        }
        return false;
    }
};

// ---------------------------------------------------------------------------
// The player's folders.

struct Folder {
    std::string path;
    int mod = 0;
    std::optional<int> install;  // the install it made (or joined), once one succeeded
    bool exists = true;
};

std::string ScriptOf(const Mod& mod, const std::string& folder) {
    std::vector<std::string> gta3, player;
    for (const ModFile& file : mod.files) (file.archive == kGta3 ? gta3 : player).push_back(file.name);
    std::string text;
    for (const auto& line : install::testing::BlockLinesOf(install::Block::Gta3, kGame, folder, gta3))
        text += line + "\r\n";
    for (const auto& line : install::testing::BlockLinesOf(install::Block::Player, kGame, folder, player))
        text += line + "\r\n";
    return text;
}

void Unpack(MemoryFileSystem& fs, const Mod& mod, const std::string& folder) {
    for (const ModFile& file : mod.files)
        fs.SetFile(folder + "\\" + (file.archive == kGta3 ? "gta3.img" : "player.img") + "\\" + file.name, file.bytes);
}

// ---------------------------------------------------------------------------
// One history.

class Life {
public:
    explicit Life(uint32_t seed) : seed_(seed), random_(seed), mods_(Mods()) {
        const Stock stock = MakeStock();
        fs_.SetFile(kGta3, stock.gta3);
        fs_.SetFile(kPlayer, stock.player);
        stockGta3_ = stock.gta3;
        stockPlayer_ = stock.player;
        stockEntries_ = StockEntries(fs_);
        model_.entries = stockEntries_;
        for (int mod = 0; mod < static_cast<int>(mods_.size()); ++mod) NewFolder(mod);
    }

    [[nodiscard]] const std::set<std::string>& Kinds() const { return kinds_; }

    // What went away from the model (the history and up to three problems),
    // empty when nothing did.
    std::string Run() {
        for (int step = 0; step < kSteps && !stopped_; ++step) Step();
        if (!stopped_ && !repaired_ && !otherChanged_) UndoEverything();
        if (problems_.empty()) return {};
        std::string text = "seed " + std::to_string(seed_) + "\n";
        for (size_t i = 0; i < history_.size(); ++i) text += "  " + std::to_string(i + 1) + ". " + history_[i] + "\n";
        for (const std::string& problem : problems_) text += problem;
        return text;
    }

private:
    int Pick(int below) { return static_cast<int>(random_() % static_cast<uint32_t>(below)); }

    Folder& NewFolder(int mod) {
        const int copy = ++copies_[mod];
        const std::string path = R"(D:\Downloads\Mod )" + mods_[static_cast<size_t>(mod)].title +
                                 (copy == 1 ? "" : " (" + std::to_string(copy) + ")");
        Unpack(fs_, mods_[static_cast<size_t>(mod)], path);
        folders_.push_back({path, mod, std::nullopt, true});
        return folders_.back();
    }

    // A folder whose undo the model can tell: not one whose install was
    // undone while another install of its mod is in the game.
    std::vector<size_t> Eligible(bool forUndo) {
        std::vector<size_t> found;
        for (size_t i = 0; i < folders_.size(); ++i) {
            const Folder& folder = folders_[i];
            if (!folder.exists) continue;
            if (forUndo && folder.install) {
                const std::optional<int> inGame = model_.InGame(folder.mod);
                if (inGame && *inGame != *folder.install) continue;
            }
            found.push_back(i);
        }
        return found;
    }

    void Step() {
        const int roll = Pick(100);
        std::vector<size_t> folders = Eligible(roll >= 30 && roll < 58);
        if (folders.empty() || roll >= 90) return FreshCopy(Pick(static_cast<int>(mods_.size())));
        const size_t folder = folders[static_cast<size_t>(Pick(static_cast<int>(folders.size())))];
        if (roll < 30) return Install(folder, std::nullopt);
        if (roll < 58) return Undo(folder);
        if (roll < 66) return Install(folder, Pick(2) == 0 ? kGta3 : kPlayer);
        if (roll < 74) return DeleteFolder(folder);
        if (roll < 77) return LoseBackups(folder);
        if (roll < 84) return OtherProgram();
        if (roll < 88) return PowerCut();
        return Repair();
    }

    std::string Name(const Folder& folder) const {
        return folder.path + " (mod " + mods_[static_cast<size_t>(folder.mod)].title + ")";
    }

    void Install(size_t index, const std::optional<std::string>& locked) {
        Folder& folder = folders_[index];
        const Mod& mod = mods_[static_cast<size_t>(folder.mod)];
        history_.push_back("install from " + Name(folder) +
                           (locked ? ", the game running and holding " + *locked : std::string()));
        const std::string script = folder.path + "\\Install.dat";
        fs_.SetFile(script, BytesOf(ScriptOf(mod, folder.path)));  // as Install.exe writes it
        const Bytes gta3 = fs_.Contents(kGta3), player = fs_.Contents(kPlayer);
        if (locked) fs_.Lock(*locked);
        FakeConsole console;
        const int status = RunTool({"Install.plug", "-script", script}, console, fs_);
        if (locked) fs_.Unlock(*locked);
        if (locked) {
            if (status == 0) Diverge("the install says it succeeded while the game held " + *locked, console, false);
            if (fs_.Contents(kGta3) != gta3 || fs_.Contents(kPlayer) != player)
                Diverge("the install changed an archive while the game held " + *locked, console);
            return Check(console);
        }
        if (status != 0) Diverge("the install failed (status " + std::to_string(status) + ")", console, false);
        folder.install = model_.Install(folder.mod, mod);
        Check(console);
    }

    void Undo(size_t index) {
        Folder& folder = folders_[index];
        history_.push_back("undo from " + Name(folder));
        const Bytes gta3 = fs_.Contents(kGta3), player = fs_.Contents(kPlayer);
        FakeConsole console;
        const int status = RunTool({"Install.plug", "-restore", folder.path + "\\Install.dat"}, console, fs_);
        if (!folder.install) {
            // Nothing was installed from this folder.
            const bool fresh = !fs_.Exists(folder.path + "\\Install.dat");
            if (fresh || model_.HoldsAFileOf(mods_[static_cast<size_t>(folder.mod)])) {
                if (status == 0)
                    Diverge("the undo from a folder that never installed says it succeeded", console, false);
                if (console.text.find("Install.exe") == std::string::npos ||
                    console.text.find("Undo.cmd") == std::string::npos)
                    Diverge(
                        "the undo from a folder that never installed does not say to run Install.exe from it, "
                        "then Undo.cmd",
                        console, false);
            } else if (status != 0 || console.text.find("nothing to undo") == std::string::npos) {
                Diverge("the undo of a mod that is not in the game does not end saying there is nothing to undo",
                        console, false);
            }
            if (fs_.Contents(kGta3) != gta3 || fs_.Contents(kPlayer) != player)
                Diverge("the undo from a folder that never installed changed an archive", console);
            return Check(console);
        }
        model_.RemoveLayers(*folder.install);
        Check(console);
    }

    void DeleteFolder(size_t index) {
        Folder& folder = folders_[index];
        history_.push_back("delete the folder " + Name(folder));
        for (const std::string& path : fs_.Paths())
            if (path.rfind(folder.path + "\\", 0) == 0) fs_.Remove(path);
        folder.exists = false;
    }

    // The player deletes the folder's install record, or its whole Backups
    // folder: the game's record beside the archives still knows the install,
    // and its undo from the folder follows the model all the same.
    void LoseBackups(size_t index) {
        const Folder& folder = folders_[index];
        const bool all = Pick(2) == 0;
        history_.push_back(std::string(all ? "delete the Backups folder of " : "delete the install record of ") +
                           Name(folder));
        const std::string backups = folder.path + "\\Backups\\";
        for (const std::string& path : fs_.Paths())
            if (all ? path.rfind(backups, 0) == 0 : path == backups + "Install.record") fs_.Remove(path);
    }

    void FreshCopy(int mod) {
        const Folder& folder = NewFolder(mod);
        history_.push_back("unpack a fresh copy of mod " + mods_[static_cast<size_t>(mod)].title + " into " +
                           folder.path);
    }

    // Another editor writes other bytes into one entry, mostly one a mod touches.
    void OtherProgram() {
        std::string path = Pick(2) == 0 ? kGta3 : kPlayer;
        std::vector<std::string> names;
        for (const auto& [name, slot] : model_.entries[path])
            if (slot.Holds() && (!slot.stack.empty() || Pick(4) == 0)) names.push_back(name);
        if (names.empty())
            for (const auto& [name, slot] : model_.entries[path])
                if (slot.Holds()) names.push_back(name);
        const std::string name = names[static_cast<size_t>(Pick(static_cast<int>(names.size())))];
        const Bytes bytes =
            Data(static_cast<size_t>(1 + Pick(3 * 2048)), 1000 + static_cast<uint32_t>(history_.size()));
        history_.push_back("another program writes " + std::to_string(bytes.size()) + " bytes into " + name + " of " +
                           path);
        auto archive = archive::Archive::Open(path, fs_);
        archive.Put(name, bytes);
        archive.Commit();
        model_.OtherProgram(path, name, bytes);
        otherChanged_ = true;
        otherBytes_[path + "|" + name] = bytes;
        Check(FakeConsole());
    }

    // The power goes: whatever no run made durable is lost (the runs before
    // said what they did, and it holds).
    void PowerCut() {
        history_.push_back("a power cut");
        fs_.LosePower(archive::testing::Tear::Random, static_cast<uint32_t>(history_.size()));
        Check(FakeConsole());
    }

    void Repair() {
        history_.push_back("repair the game (the stock gta3.img and player.img put back)");
        fs_.SetFile(kGta3, stockGta3_);
        fs_.SetFile(kPlayer, stockPlayer_);
        model_.Repair(stockEntries_);
        repaired_ = true;
        Check(FakeConsole());
    }

    // Every install still in the game undone, in random order, from a folder
    // that made it or else from a fresh copy installed first.
    void UndoEverything() {
        std::vector<int> mods;
        for (int mod = 0; mod < static_cast<int>(mods_.size()); ++mod)
            if (model_.InGame(mod)) mods.push_back(mod);
        std::shuffle(mods.begin(), mods.end(), random_);
        for (const int mod : mods) {
            if (stopped_) return;
            const int install = *model_.InGame(mod);
            std::optional<size_t> from;
            for (size_t i = 0; i < folders_.size(); ++i)
                if (folders_[i].exists && folders_[i].install == install) from = i;
            if (!from) {
                FreshCopy(mod);
                from = folders_.size() - 1;
                Install(*from, std::nullopt);
                if (stopped_) return;
            }
            Undo(*from);
        }
        if (stopped_) return;
        if (fs_.Contents(kGta3) != stockGta3_ || fs_.Contents(kPlayer) != stockPlayer_)
            Diverge("every install undone, yet the archives are not byte for byte the stock ones", FakeConsole());
    }

    // What bytes are, in the history's words.
    std::string Describe(const std::string& path, const std::string& name, const std::optional<Bytes>& bytes) const {
        if (!bytes) return "nothing (no such entry)";
        const Bytes trimmed = Trimmed(*bytes);
        const auto stock = stockEntries_.at(path).find(name);
        if (stock != stockEntries_.at(path).end() && stock->second.base && Trimmed(*stock->second.base) == trimmed)
            return "the game's own bytes";
        std::string mods;
        for (const Mod& mod : mods_)
            for (const ModFile& file : mod.files)
                if (file.archive == path && file.name == name && Trimmed(file.bytes) == trimmed)
                    mods += (mods.empty() ? "" : "/") + mod.title;
        if (!mods.empty()) return "mod " + mods + "'s file";
        const auto other = otherBytes_.find(path + "|" + name);
        if (other != otherBytes_.end() && Trimmed(other->second) == trimmed) return "the other program's bytes";
        return "other bytes (" + std::to_string(bytes->size()) + ")";
    }

    void Check(const FakeConsole& console) {
        for (const std::string& path : {kGta3, kPlayer}) {
            std::map<std::string, Bytes> actual;
            for (auto& [name, bytes] : ReadContent(fs_, path)) actual[Folded(name)] = std::move(bytes);
            std::map<std::string, bool> names;
            for (const auto& [name, bytes] : actual) names[name] = true;
            for (const auto& [name, slot] : model_.entries[path]) names[name] = true;
            std::string wrong;
            for (const auto& [name, unused] : names) {
                const auto slot = model_.entries[path].find(name);
                const std::optional<Bytes> expected =
                    slot == model_.entries[path].end() ? std::nullopt : slot->second.Holds();
                const auto found = actual.find(name);
                const std::optional<Bytes> holds =
                    found == actual.end() ? std::nullopt : std::optional<Bytes>(found->second);
                const bool same = expected && holds ? HoldsFile(*holds, Trimmed(*expected)) : !expected && !holds;
                if (!same)
                    wrong += "    " + name + ": holds " + Describe(path, name, holds) + ", the model says " +
                             Describe(path, name, expected) + "\n";
            }
            if (!wrong.empty()) Diverge(path + " is away from the model:\n" + wrong, console);
            std::string broken;
            for (const std::string& problem : veltrin::testing::img::GameRuleProblems(fs_.Contents(path)))
                broken += "    " + problem + "\n";
            if (!broken.empty()) Diverge(path + " breaks the game's rules:\n" + broken, console);
        }
    }

    // A wrong entry or archive ends the history; a wrong status or message
    // is kept and the history goes on.
    void Diverge(const std::string& what, const FakeConsole& console, bool stop = true) {
        if (stopped_) return;
        stopped_ = stop;
        std::string kind = what.substr(0, std::min({what.find(" while"), what.find(" (status"), what.find(":\n")}));
        if (kind.find(" is away from the model") != std::string::npos) {
            const std::string& step = history_.back();
            kind = "an entry away from the model after: " + step.substr(0, step.find(" ", step.find(" ") + 1));
        }
        kinds_.insert(kind);
        if (problems_.size() < 3)
            problems_.push_back("after step " + std::to_string(history_.size()) + ": " + what +
                                "\n  the tool printed:\n" + console.text);
    }

    uint32_t seed_;
    std::mt19937 random_;
    std::vector<Mod> mods_;
    MemoryFileSystem fs_;
    Bytes stockGta3_, stockPlayer_;
    Entries stockEntries_;
    Model model_;
    std::vector<Folder> folders_;
    std::map<int, int> copies_;
    std::map<std::string, Bytes> otherBytes_;
    std::vector<std::string> history_;
    std::vector<std::string> problems_;
    std::set<std::string> kinds_;
    bool stopped_ = false;
    bool repaired_ = false, otherChanged_ = false;
};

TEST(PlayerLife, EveryEntryFollowsTheModelThroughRandomHistories) {
    std::vector<uint32_t> seeds;
    if (const char* one = std::getenv("VELTRIN_PLAYER_LIFE_SEED"); one != nullptr && *one != '\0')
        seeds.push_back(static_cast<uint32_t>(std::strtoul(one, nullptr, 10)));
    else
        for (uint32_t seed = 1; seed <= kSeeds; ++seed) seeds.push_back(seed);
    int diverged = 0;
    std::string first;
    std::map<std::string, int> kinds;  // how many histories met each kind of problem
    for (const uint32_t seed : seeds) {
        Life life(seed);
        const std::string divergence = life.Run();
        if (divergence.empty()) continue;
        for (const std::string& kind : life.Kinds()) ++kinds[kind];
        if (++diverged == 1) first = divergence;
        ADD_FAILURE() << divergence;
    }
    std::string summary;
    for (const auto& [kind, count] : kinds) summary += "  " + std::to_string(count) + " x " + kind + "\n";
    EXPECT_EQ(diverged, 0) << diverged << " of " << seeds.size() << " histories diverged:\n"
                           << summary << "the first:\n"
                           << first;
}

}  // namespace
}  // namespace veltrin::tool
