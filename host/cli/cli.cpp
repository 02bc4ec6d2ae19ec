#include "cli.h"

#include <CLI/CLI.hpp>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "channelList.h"
#include "channelModel.h"
#include "configuredPlugin.h"
#include "feedFormats.h"
#include "hints.h"
#include "hostError.h"
#include "pluginLibrary.h"
#include "serve.h"
#include "textEncoding.h"
#include "textEscape.h"

namespace fs = std::filesystem;

namespace host {

namespace {

constexpr const char* kFooter = R"(Examples:
  dovetrail channels                       list the channels of the bundled example
  dovetrail channel lounge                 print the lounge channel's RSS
  dovetrail channel lounge articles -o out write out/lounge.rss and out/articles.rss
  dovetrail channel lounge --format atom   the lounge channel as an Atom 1.0 feed
  dovetrail opml > channels.opml           every channel, for a feed reader's import
  dovetrail main-page > page.html          render the main page
  dovetrail intervals --json               the minimum update intervals, in seconds
  dovetrail --config my.ini serve --listen 127.0.0.1:8080
                                           serve http://127.0.0.1:8080/channels/NAME.rss

The plug-in runs in the INI file's directory, so relative paths in the INI file (such as a
HostName naming a directory of local answer files) are relative to that directory. Without
--config the bundled example is used; without --plugin the installed plug-in, then the build
tree's.

Exit codes:
  0   success
  1   the plug-in failed: configuration, download or XML error (the message says which)
  2   the plug-in could not allocate its output buffer
  3   the plug-in cannot open its main page template file
  4   the plug-in cannot open an internet connection
  5   unknown channel (its INI section has no ChannelUrl)
  64  wrong command line
  65  the plug-in's text cannot be converted to the asked format
  66  the configuration file cannot be found or read
  67  serve --user names no user
  69  the plug-in library cannot be found, loaded or used
  70  unexpected internal error
  71  serve cannot listen on the given address
  73  an output file cannot be written
  77  serve --user: switching to that user is not allowed
  130, 143  serve ended at once by a second SIGINT or SIGTERM
With several channels, the exit code is that of the first one that failed. serve stops on
SIGINT or SIGTERM within 10 seconds and reloads its INI file and plug-in on SIGHUP: run
"dovetrail serve --help" for its limits.)";

struct Options {
    std::string config;
    std::string plugin;
    std::vector<std::string> channels;
    std::string outputDir;
    std::string outputFile;
    bool json = false;
    std::string format = "plugin";
    std::string publicUrl = "http://127.0.0.1:8080";
    ServeOptions serve;
};

// A channel name as a file name: bytes that a path would read specially are escaped.
std::string fileNameFor(const std::string& channel) {
    std::string out;
    for (std::size_t i = 0; i < channel.size(); ++i) {
        const auto u = static_cast<unsigned char>(channel[i]);
        if (u < 0x20 || channel[i] == '/' || channel[i] == '\\' || channel[i] == '%' ||
            (i == 0 && channel[i] == '.')) {
            out += '%';
            text::appendHexByte(out, u);
        } else {
            out += channel[i];
        }
    }
    return out;
}

// Writes the whole text, via a temporary file renamed into place, so a reader never sees half a
// file.
void writeFile(const fs::path& path, const std::string& text) {
    const fs::path temporary = path.string() + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (out) {
            out.write(text.data(), static_cast<std::streamsize>(text.size()));
            out.close();
        }
        if (!out) {
            const std::string why = std::strerror(errno);
            std::error_code ignored;
            fs::remove(temporary, ignored);
            throw HostError(kExitCannotWrite,
                            "Can't write the file: " + path.string() + ": " + why);
        }
    }
    std::error_code error;
    fs::rename(temporary, path, error);
    if (error) {
        fs::remove(temporary, error);
        throw HostError(kExitCannotWrite,
                        "Can't write the file: " + path.string() + ": " + error.message());
    }
}

// The line after a failure that says what to change; relative local paths in the INI file are
// looked up from the working directory, which is the INI file's by now.
void printHint(std::ostream& err, const std::string& config, const Failure& failure) {
    const std::string hint = hintFromFile(failure, config);
    if (!hint.empty()) {
        err << "dovetrail: hint: " << hint << "\n";
    }
}

void printNote(std::ostream& err, const std::string& note) {
    if (!note.empty()) {
        err << "dovetrail: note: " << note << "\n";
    }
}

void writeOut(std::ostream& out, const std::string& text) {
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.flush();
    if (!out) {
        throw HostError(kExitCannotWrite, "Can't write to standard output.");
    }
}

void warnAboutIntervalKind(const ChannelEntry& channel, std::ostream& err) {
    const std::string warning = intervalKindWarning(channel);
    if (!warning.empty()) {
        err << "dovetrail: warning: " << warning << "\n";
    }
}

// The plug-in's text in another format. Without a gateway's state nobody knows when an item was
// first seen, so every item, and the feed itself, is dated now.
std::string convertChannel(const std::string& name, const std::string& pluginText,
                           feeds::FeedFormat format, const std::string& baseUrl,
                           const std::vector<ChannelEntry>& configured, const Intervals& intervals,
                           std::ostream& err) {
    const ChannelEntry* entry = findChannel(configured, name);
    IntervalKind kind = IntervalKind::longest;
    if (entry != nullptr) {
        warnAboutIntervalKind(*entry, err);
        kind = entry->intervalKind;
    }
    feeds::ChannelModel channel = feeds::parsePluginText(pluginText);
    const auto now = std::chrono::system_clock::now();
    for (feeds::FeedItem& item : channel.items) {
        item.published = now;
    }
    const feeds::FeedContext context{name, baseUrl, std::chrono::seconds(intervals.forKind(kind)),
                                     now};
    return feeds::writeFeed(format, pluginText, channel, context);
}

std::string baseUrlOption(const std::string& given) {
    try {
        return feeds::normalizeBaseUrl(given);
    } catch (const feeds::FeedError& e) {
        throw HostError(kExitUsage, std::string("--public-url: ") + e.what());
    }
}

int runChannel(const Options& options, std::ostream& out, std::ostream& err) {
    const feeds::FeedFormat format = *feeds::parseFeedFormat(options.format);
    const std::string baseUrl = baseUrlOption(options.publicUrl);
    fs::path outputDir;
    const LoadedPlugin loaded = loadPlugin(options.config, options.plugin, [&] {
        if (!options.outputDir.empty()) {
            std::error_code error;
            outputDir = fs::absolute(options.outputDir, error);
            fs::create_directories(outputDir, error);
            if (error) {
                throw HostError(kExitCannotWrite, "Can't create the output directory: " +
                                                      outputDir.string() + ": " + error.message());
            }
        }
    });
    const std::vector<ChannelEntry> configured = format == feeds::FeedFormat::plugin
                                                     ? std::vector<ChannelEntry>()
                                                     : readChannelList(loaded.config);
    // The plug-in's own text keeps the extension it always had.
    const std::string extension =
        format == feeds::FeedFormat::plugin ? "rss" : std::string(feeds::formatName(format));
    int exitCode = kExitOk;
    for (const std::string& name : options.channels) {
        const CallResult result = loaded.session->channel(name);
        int failed = kExitOk;
        std::string text;
        if (!result.ok()) {
            err << "dovetrail: channel " << name << ": " << result.error << " (status "
                << result.status << ")\n";
            printHint(err, loaded.config,
                      Failure{Operation::Channel, result.status, result.error, name});
            failed = result.status;
        } else if (format == feeds::FeedFormat::plugin) {
            text = result.text;
        } else {
            try {
                text = convertChannel(name, result.text, format, baseUrl, configured,
                                      loaded.session->intervals(), err);
            } catch (const feeds::FeedError& e) {
                err << "dovetrail: channel " << name << ": " << e.what() << "\n";
                failed = kExitDataError;
            }
        }
        if (failed != kExitOk) {
            if (exitCode == kExitOk) {
                exitCode = failed;
            }
            continue;
        }
        if (outputDir.empty()) {
            writeOut(out, text);
        } else {
            writeFile(outputDir / (fileNameFor(name) + "." + extension), text);
        }
    }
    return exitCode;
}

int runMainPage(const Options& options, std::ostream& out, std::ostream& err) {
    fs::path outputFile;
    const LoadedPlugin loaded = loadPlugin(options.config, options.plugin, [&] {
        if (!options.outputFile.empty()) {
            std::error_code error;
            outputFile = fs::absolute(options.outputFile, error);
        }
    });
    const CallResult result = loaded.session->mainPage();
    if (!result.ok()) {
        err << "dovetrail: main page: " << result.error << " (status " << result.status << ")\n";
        printHint(err, loaded.config,
                  Failure{Operation::MainPage, result.status, result.error, {}});
        return result.status;
    }
    if (outputFile.empty()) {
        writeOut(out, result.text);
    } else {
        writeFile(outputFile, result.text);
    }
    return kExitOk;
}

int runIntervals(const Options& options, std::ostream& out, std::ostream& err) {
    const LoadedPlugin loaded = loadPlugin(options.config, options.plugin);
    const Intervals& iv = loaded.session->intervals();
    std::ostringstream text;
    if (options.json) {
        text << "{\"lounge\": " << iv.lounge << ", \"messageBoards\": " << iv.messageBoards
             << ", \"articles\": " << iv.articles << "}\n";
    } else {
        const auto line = [&](const char* label, int32_t seconds) {
            text << label << seconds / 60 << " minutes (" << seconds << " seconds)\n";
        };
        line("Lounge:         ", iv.lounge);
        line("Message boards: ", iv.messageBoards);
        line("Articles:       ", iv.articles);
    }
    writeOut(out, text.str());
    printNote(err, intervalsNote(loaded.config));
    return kExitOk;
}

int runChannels(const Options& options, std::ostream& out, std::ostream& err) {
    const std::string config = resolveConfig(options.config);
    const std::vector<ChannelEntry> channels = readChannelList(config);
    std::string text;
    for (const ChannelEntry& channel : channels) {
        warnAboutIntervalKind(channel, err);
        text += channel.name + "\t" + channel.title + "\n";
    }
    writeOut(out, text);
    printNote(err, channelsNote(config, channels));
    return kExitOk;
}

int runOpml(const Options& options, std::ostream& out, std::ostream& err) {
    const std::string baseUrl = baseUrlOption(options.publicUrl);
    fs::path outputFile;
    if (!options.outputFile.empty()) {
        outputFile = fs::absolute(options.outputFile);
    }
    const std::string config = resolveConfig(options.config);
    std::vector<feeds::OpmlChannel> outlines;
    for (const ChannelEntry& channel : readChannelList(config)) {
        warnAboutIntervalKind(channel, err);
        // The INI file's values, in whichever encoding it was written.
        outlines.push_back(feeds::OpmlChannel{channel.name, feeds::iniValueToUtf8(channel.title),
                                              feeds::iniValueToUtf8(channel.description),
                                              feeds::iniValueToUtf8(channel.homeUrl)});
    }
    const std::string text = feeds::writeOpml(outlines, baseUrl, std::chrono::system_clock::now());
    if (outputFile.empty()) {
        writeOut(out, text);
    } else {
        writeFile(outputFile, text);
    }
    return kExitOk;
}

}  // namespace

int runCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    Options options;
    CLI::App app{
        "Runs the Dovetrail channel plug-in: prints channels, the main page and the "
        "update intervals, or serves the channels to feed readers over HTTP.",
        "dovetrail"};
    // The host's release, and the plug-in interface it loads.
    app.set_version_flag("--version", "dovetrail " DOVETRAIL_VERSION
                                      "\nplug-in interface version " +
                                          std::to_string(DOVETRAIL_INTERFACE_VERSION));
    app.option_defaults()->always_capture_default();
    app.add_option("--config", options.config,
                   "The plug-in's INI file (default: the bundled example's dovetrail.ini)")
        ->type_name("FILE");
    app.add_option("--plugin", options.plugin,
                   "The plug-in library to load (default: the installed libdovetrail.so, then "
                   "the build tree's)")
        ->type_name("FILE");
    app.require_subcommand(0, 1);
    app.fallthrough();
    app.footer(kFooter);

    CLI::App* channel =
        app.add_subcommand("channel", "Print each channel: the plug-in's text, or a feed format");
    channel->add_option("NAME", options.channels, "Channel names (INI sections)")->required();
    channel
        ->add_option("-o,--output-dir", options.outputDir,
                     "Write NAME.rss (plugin, rss), NAME.atom or NAME.json files into DIR "
                     "instead of standard output")
        ->type_name("DIR");
    channel
        ->add_option("--format", options.format,
                     "plugin: the plug-in's text byte for byte; rss: RSS 2.0; atom: Atom 1.0; "
                     "json: JSON Feed 1.1 (the feed formats are UTF-8)")
        ->check(CLI::IsMember({"plugin", "rss", "atom", "json"}))
        ->capture_default_str();
    channel
        ->add_option("--public-url", options.publicUrl,
                     "Base of the feeds' own absolute URLs (self links)")
        ->capture_default_str()
        ->type_name("URL");
    channel->footer(
        "Dates: the plug-in's text carries none, and without serve's state nobody knows when\n"
        "an item was first seen, so in the rss, atom and json formats every item, and the feed\n"
        "itself, is dated with the time of the command. RSS's ttl is the channel's minimum\n"
        "update interval: the one its INI key UpdateIntervalKind names (lounge, boards or\n"
        "articles), else the longest of the three.");
    CLI::App* mainPage = app.add_subcommand("main-page", "Print the rendered main page");
    mainPage->add_option("-o,--output", options.outputFile, "Write it to FILE instead")
        ->type_name("FILE");
    CLI::App* intervals =
        app.add_subcommand("intervals", "Print the three minimum update intervals");
    intervals->add_flag("--json", options.json,
                        "As a JSON object of seconds: lounge, messageBoards, articles");
    CLI::App* channels =
        app.add_subcommand("channels", "List the configured channels: name, a tab, the title");
    CLI::App* opml = app.add_subcommand(
        "opml", "Print an OPML 2.0 list of every channel's RSS feed, for a feed reader's import");
    opml->add_option("--public-url", options.publicUrl,
                     "Base URL of the feeds, as readers reach serve")
        ->capture_default_str()
        ->type_name("URL");
    opml->add_option("-o,--output", options.outputFile, "Write it to FILE instead")
        ->type_name("FILE");
    CLI::App* serve = app.add_subcommand("serve", "Serve the main page and channels over HTTP");
    ServeOptions& so = options.serve;
    serve
        ->add_option("--listen", so.listen,
                     "ADDRESS:PORT to listen on; loopback unless told otherwise; port 0 picks "
                     "a free port")
        ->capture_default_str()
        ->type_name("ADDRESS:PORT");
    serve
        ->add_option("--threads", so.threads,
                     "Threads that run the HTTP engine; 0 means one per processor. Connections "
                     "never hold a thread, so a few serve thousands")
        ->capture_default_str()
        ->type_name("N");
    serve
        ->add_option("--max-connections", so.maxConnections,
                     "Connections open at once, in all; one more gets 503 and is closed (lowered "
                     "to what the limit on open files allows)")
        ->capture_default_str()
        ->type_name("N");
    serve
        ->add_option("--max-connections-per-address", so.maxConnectionsPerAddress,
                     "Connections open at once from one client address; one more gets 503 and "
                     "is closed")
        ->capture_default_str()
        ->type_name("N");
    serve
        ->add_option("--fetch-timeout", so.fetchTimeoutSeconds,
                     "Seconds a channel fetch may take before readers without a feed get 504 "
                     "(readers of a channel with a feed never wait)")
        ->capture_default_str()
        ->type_name("SECONDS");
    serve
        ->add_option("--max-feed-bytes", so.maxFeedBytes,
                     "Largest channel text the gateway keeps (suffixes k, M, G, in 1024s); a "
                     "larger one counts as a failed fetch and the last good feed stays")
        ->capture_default_str()
        ->transform(CLI::AsSizeValue(false))
        ->type_name("BYTES");
    serve
        ->add_option("--public-url", so.publicUrl,
                     "Address readers reach the gateway at, e.g. behind a proxy; the feeds' own "
                     "links start with it (default: the listening address)")
        ->type_name("URL");
    serve
        ->add_option("--access-key-file", so.accessKeyFile,
                     "File of access keys, one a line ('#' starts a comment): every request must "
                     "then name one as ?key=KEY, else 401; the index page and the OPML list link "
                     "with the reader's key. SIGHUP reads the file again")
        ->type_name("FILE");
    serve
        ->add_option("--metrics-allow", so.metricsAllow,
                     "Address or ADDRESS/BITS that may read /metrics, repeatable (default: "
                     "loopback only); others get 403")
        ->type_name("CIDR");
    serve
        ->add_option("--log-format", so.logFormat,
                     "The access log's format on standard error: combined, as web servers write "
                     "it, or json, one object a line")
        ->capture_default_str()
        ->check(CLI::IsMember({"combined", "json"}))
        ->type_name("FORMAT");
    serve
        ->add_option("--user", so.user,
                     "As root: become this user once the port is taken (so a port below 1024 "
                     "can be served without staying root); its groups and home come along")
        ->type_name("NAME");
    std::string statePath;
    CLI::Option* stateOption =
        serve
            ->add_option("--state", statePath,
                         "SQLite file that keeps the feeds, their schedule and item dates over "
                         "restarts; '' keeps them in memory (default: "
                         "$XDG_STATE_HOME/dovetrail/state.sqlite3, else "
                         "~/.local/state/dovetrail/state.sqlite3)")
            ->type_name("FILE");
    bool noStateFlag = false;
    CLI::Option* noState =
        serve->add_flag("--no-state", noStateFlag, "Keep the state in memory: a restart forgets it")
            ->excludes(stateOption);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e, out, err);
        return code == 0 ? kExitOk : kExitUsage;
    }

    try {
        if (*channel) {
            return runChannel(options, out, err);
        }
        if (*mainPage) {
            return runMainPage(options, out, err);
        }
        if (*intervals) {
            return runIntervals(options, out, err);
        }
        if (*channels) {
            return runChannels(options, out, err);
        }
        if (*opml) {
            return runOpml(options, out, err);
        }
        if (*serve) {
            options.serve.config = options.config;
            options.serve.plugin = options.plugin;
            if (*noState) {
                options.serve.statePath = std::string();
            } else if (*stateOption) {
                // From where the program was started: serve runs in the INI file's directory.
                options.serve.statePath =
                    statePath.empty() ? statePath : fs::absolute(statePath).string();
            }
            return runServe(options.serve, err);
        }
        err << "dovetrail: a command is needed: channel, main-page, intervals, channels, opml or "
               "serve\n"
               "Run with --help for more information.\n";
        return kExitUsage;
    } catch (const HostError& e) {
        err << "dovetrail: " << e.what() << "\n";
        return e.exitCode();
    } catch (const PluginInitError& e) {
        err << "dovetrail: " << e.what() << " (status " << e.status() << ")\n";
        printHint(err, e.configPath(), Failure{Operation::Init, e.status(), e.pluginText(), {}});
        return e.status();
    } catch (const std::exception& e) {
        err << "dovetrail: unexpected error: " << e.what() << "\n";
        return kExitInternal;
    }
}

}  // namespace host
