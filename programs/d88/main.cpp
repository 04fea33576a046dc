// d88: looks inside D88 floppy-disk images of any system; the command line. Each subcommand
// lives in the file of its name (d88.h lists them).
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <iterator>
#include <string>

#include <retrodisk/d88/editor.h>

#include "../platform.h"
#include "d88.h"

namespace d88cli {
namespace {

int run(int argc, char** argv) {
    CLI::App app{
        "Looks inside D88 floppy-disk images: the disks in a file, their tracks and "
        "sectors, the files of their file systems (FAT12, N88-BASIC, Hu-BASIC, F-BASIC, the "
        "flat directory); takes files out, checks disks for damage and puts files back.",
        "d88"};
    app.set_version_flag("--version", std::string("d88 (retrodisk) ") + RETRODISK_VERSION);
    app.require_subcommand(1, 1);
    Options o;
    const auto image = [&o](CLI::App* command) {
        command->add_option("IMAGE", o.image, "the D88 image file")->required();
    };
    const auto disk = [&o](CLI::App* command) {
        command->add_option("-d,--disk", o.disk, "the disk, counted from 0 (default 0)")
            ->check(CLI::Validator(
                [](const std::string& text) {
                    const bool digits = !text.empty() && text.size() < 10 &&
                                        text.find_first_not_of("0123456789") == std::string::npos;
                    return digits ? std::string() : "not a disk number: " + text;
                },
                "N"));
    };
    const auto asJson = [&o](CLI::App* command) {
        command->add_flag("--json", o.json, "JSON output");
    };
    const auto rawNames = [&o](CLI::App* command) {
        command->add_flag("--raw-names", o.rawNames,
                          "names as their Shift_JIS bytes, not converted to UTF-8");
    };
    const auto fileSystem = [&o](CLI::App* command) {
        command
            ->add_option("--fs", o.fs,
                         "read the disk as this file system, without detection: fat12, n88, "
                         "hu, fbasic or flat")
            ->check(CLI::Validator(
                [](const std::string& text) {
                    retrodisk::fs::Kind kind;
                    return retrodisk::fs::kindByName(text, &kind)
                               ? std::string()
                               : "not a file system: " + text + " (fat12, n88, hu, fbasic or flat)";
                },
                "NAME"));
    };

    // Only the subcommand named first is built: building them all costs more than a small get
    // takes. A first argument that names none (--help, --version, a mistake) builds them all.
    static const char* const kSubcommands[] = {"info", "tracks", "ls",  "get",   "check", "export",
                                               "put",  "rm",     "new", "mkdir", "rmdir", "import"};
    const std::string first = argc > 1 ? argv[1] : "";
    const bool named = std::find(std::begin(kSubcommands), std::end(kSubcommands), first) !=
                       std::end(kSubcommands);
    const auto wanted = [&](const char* name) { return !named || first == name; };
    CLI::App* infoCommand = nullptr;
    CLI::App* tracksCommand = nullptr;
    CLI::App* lsCommand = nullptr;
    CLI::App* getCommand = nullptr;
    CLI::App* checkCommand = nullptr;
    CLI::App* exportCommand = nullptr;
    CLI::App* putCommand = nullptr;
    CLI::App* rmCommand = nullptr;
    CLI::App* newCommand = nullptr;
    CLI::App* mkdirCommand = nullptr;
    CLI::App* rmdirCommand = nullptr;
    CLI::App* importCommand = nullptr;
    CLI::Option* asOption = nullptr;
    if (wanted("info")) {
        infoCommand = app.add_subcommand("info",
                                         "every disk in the file: header, "
                                         "geometry, file system, anomalies");
        image(infoCommand);
        asJson(infoCommand);
    }
    if (wanted("tracks")) {
        tracksCommand =
            app.add_subcommand("tracks", "the sector headers of every track of one disk");
        image(tracksCommand);
        disk(tracksCommand);
        asJson(tracksCommand);
    }
    if (wanted("ls")) {
        lsCommand = app.add_subcommand(
            "ls", "the files of one disk (the root, or PATH), with CRC-32s and free space");
        image(lsCommand);
        lsCommand->add_option("PATH", o.names, "a directory or file to list")->expected(0, 1);
        disk(lsCommand);
        fileSystem(lsCommand);
        lsCommand->add_flag("-l,--long", o.longList,
                            "type, attributes, date, load and exec addresses");
        lsCommand->add_flag("-R,--recursive", o.recursive, "the whole tree");
        asJson(lsCommand);
        rawNames(lsCommand);
    }
    if (wanted("get")) {
        getCommand = app.add_subcommand(
            "get",
            "write the disk's files (all, or those named) under their paths into a directory");
        image(getCommand);
        getCommand->add_option("PATH", o.names,
                               "files or directories to write; * and ? are wildcards");
        disk(getCommand);
        fileSystem(getCommand);
        getCommand->add_option("-o,--output", o.outputDir,
                               "the directory to write to, created if missing (default .)");
        getCommand->add_flag("-f,--force", o.force, "replace existing files");
        getCommand->add_flag("--text", o.text, "end each ASCII file at its first 0x1A byte");
        rawNames(getCommand);
    }
    if (wanted("check")) {
        checkCommand =
            app.add_subcommand("check", "every problem of one disk's file system; exit 1 if any");
        image(checkCommand);
        disk(checkCommand);
        fileSystem(checkCommand);
        asJson(checkCommand);
        rawNames(checkCommand);
    }
    if (wanted("export")) {
        exportCommand = app.add_subcommand(
            "export", "write one disk's sectors in logical order as a flat image");
        image(exportCommand);
        disk(exportCommand);
        exportCommand->add_option("-o,--output", o.output, "the flat image to write")->required();
        exportCommand->add_flag("--fill", o.fill, "write missing or short sectors as zero bytes");
        exportCommand->add_flag("-f,--force", o.force, "replace an existing file");
    }
    if (wanted("put")) {
        putCommand = app.add_subcommand(
            "put",
            "put files onto the disk: over their own sectors, or with --allocate anywhere free");
        image(putCommand);
        putCommand->add_option("FILE", o.files, "files to put, each under its base name")
            ->required();
        disk(putCommand);
        asOption = putCommand->add_option("--as", o.as, "the name on the disk (one FILE)");
        putCommand->add_flag("--allocate", o.allocate,
                             "let a file that does not fit its sectors, or a new one, take free "
                             "sectors");
        putCommand->add_flag("--dry-run", o.dryRun, "say what would be done; change nothing");
        putCommand->add_flag("--force", o.force,
                             "change a write-protected disk, or a damaged one (only the change)");
        putCommand->add_option(
            "--type", o.type,
            "the file type: basic, ascii, binary, machine or data (default: kept, "
            "or from the extension)");
        putCommand->add_option("--load", o.load, "the load address (hexadecimal) the family keeps");
        putCommand->add_option("--exec", o.exec, "the exec address (hexadecimal) the family keeps");
        fileSystem(putCommand);
        rawNames(putCommand);
    }
    if (wanted("rm")) {
        rmCommand = app.add_subcommand("rm", "remove files from the disk");
        image(rmCommand);
        rmCommand->add_option("NAME", o.names, "files to remove")->required();
        disk(rmCommand);
        rmCommand->add_flag("--dry-run", o.dryRun, "say what would be done; change nothing");
        rmCommand->add_flag("--force", o.force,
                            "change a write-protected disk, or a damaged one (only the change)");
        fileSystem(rmCommand);
        rawNames(rmCommand);
    }
    if (wanted("new")) {
        newCommand =
            app.add_subcommand("new", "write a blank disk image: flat 2HD, or --fs and --type");
        image(newCommand);
        newCommand->add_option("--label", o.label,
                               "the disk's name in its header (16 bytes at most)");
        newCommand->add_flag("-f,--force", o.force, "replace an existing file");
        fileSystem(newCommand);
        newCommand->add_option("--type", o.type,
                               "the disk type (default: the file system's commonest): 1d, 2d, 2dd, "
                               "2hd and their variants");
    }
    if (wanted("mkdir")) {
        mkdirCommand = app.add_subcommand("mkdir", "make directories (FAT12)");
        image(mkdirCommand);
        mkdirCommand->add_option("PATH", o.names, "directories to make")->required();
        disk(mkdirCommand);
        fileSystem(mkdirCommand);
        mkdirCommand->add_flag("--dry-run", o.dryRun, "say what would be done; change nothing");
        mkdirCommand->add_flag("--force", o.force, "change a write-protected or damaged disk");
        rawNames(mkdirCommand);
    }
    if (wanted("rmdir")) {
        rmdirCommand = app.add_subcommand("rmdir", "remove empty directories (FAT12)");
        image(rmdirCommand);
        rmdirCommand->add_option("PATH", o.names, "directories to remove")->required();
        disk(rmdirCommand);
        fileSystem(rmdirCommand);
        rmdirCommand->add_flag("--dry-run", o.dryRun, "say what would be done; change nothing");
        rmdirCommand->add_flag("--force", o.force, "change a write-protected or damaged disk");
        rawNames(rmdirCommand);
    }
    if (wanted("import")) {
        importCommand = app.add_subcommand(
            "import", "wrap a flat sector image into a one-disk D88 image of a disk type");
        importCommand->add_option("FLAT", o.input, "the flat image (dd, mtools, an emulator)")
            ->required();
        importCommand->add_option("-o,--output", o.output, "the D88 image to write")->required();
        importCommand->add_option("--type", o.type, "the disk type: 1d, 2d, 2dd, 2hd, ...")
            ->required();
        fileSystem(importCommand);
        importCommand->add_flag("-f,--force", o.force, "replace an existing file");
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {  // --help, --version
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "d88: %s (d88 --help shows the usage)\n", e.what());
        return kUsage;
    }
    const auto parsed = [](const CLI::App* command) {
        return command != nullptr && command->parsed();
    };
    if (parsed(infoCommand)) return info(o);
    if (parsed(tracksCommand)) return tracks(o);
    if (parsed(lsCommand)) return ls(o);
    if (parsed(getCommand)) return get(o);
    if (parsed(checkCommand)) return check(o);
    if (parsed(exportCommand)) return exportDisk(o);
    if (parsed(putCommand)) {
        if (asOption->count() > 0 && o.files.size() != 1) {
            std::fprintf(stderr,
                         "d88: --as names one FILE, not %lld (d88 --help shows the usage)\n",
                         static_cast<long long>(o.files.size()));
            return kUsage;
        }
        o.named = asOption->count() > 0;
        return put(o);
    }
    if (parsed(rmCommand)) return rm(o);
    if (parsed(mkdirCommand)) return mkdir(o);
    if (parsed(rmdirCommand)) return rmdir(o);
    if (parsed(importCommand)) return importImage(o);
    return newImage(o);
}

int runSafely(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {  // out of memory, above all
        std::fflush(stdout);
        std::fprintf(stderr, "d88: %s\n", e.what());
        return kFailed;
    }
}

}  // namespace
}  // namespace d88cli

int programMain(int argc, char** argv) {
    // A save or a file being written that a signal stops is removed (see platform.h).
    removeOutputOnSignal(retrodisk::d88::removeUnfinishedSaves);
    return d88cli::runSafely(argc, argv);
}
