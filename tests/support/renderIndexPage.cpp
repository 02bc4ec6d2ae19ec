// Writes the gateway's index page for a fixed set of channels to the file named on the command
// line, for the browser checks of the end-to-end tests: the example's three channels in each state
// a channel can be in, and one with long unbroken texts that must not widen a phone's page.
#include <chrono>
#include <fstream>
#include <iostream>

#include "indexPage.h"

int main(int argc, char** argv) {
    using namespace std::chrono_literals;
    using host::feeds::IndexChannel;
    if (argc != 2) {
        std::cerr << "usage: dovetrail_render_index_page FILE\n";
        return 64;
    }
    host::feeds::IndexPageInput input;
    input.baseUrl = "http://127.0.0.1:8080";
    input.lounge = 300s;
    input.messageBoards = 900s;
    input.articles = 3600s;
    input.now = std::chrono::system_clock::time_point(1'767'225'600s);

    IndexChannel lounge{"lounge", "Caf\xC3\xA9 Lounge", "The latest messages from the lounge",
                        300s};
    lounge.lastFetch = input.now - 60s;
    lounge.nextFetch = input.now + 240s;
    lounge.hasFeed = true;
    IndexChannel boards{"boards", "Message Boards \xE2\x80\x93 Jo\xC3\xABl's picks",
                        "New messages on the boards", 900s};
    boards.lastFetch = input.now - 30s;
    boards.nextFetch = input.now + 870s;
    boards.status = 1;
    boards.error = "Can't read the URL: https://community.example.org/webservices/boards.xml";
    boards.hasFeed = true;
    IndexChannel articles{"articles", "New Articles", "Newly published articles", 3600s};
    IndexChannel longest{
        "a-channel-whose-name-goes-on-and-on-without-a-single-place-to-break-it",
        "A title that is long as well, and then some more words to fill two lines on a phone",
        "", 3600s};
    longest.lastFetch = input.now - 5s;
    longest.nextFetch = input.now + 3595s;
    longest.status = 1;
    longest.error = "Can't read the URL: https://community.example.org/webservices/"
                    "an-address-that-is-far-longer-than-any-phone-is-wide-and-has-no-blanks.xml";
    input.channels = {lounge, boards, articles, longest};

    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out << host::feeds::renderIndexPage(input);
    out.close();
    if (!out) {
        std::cerr << "dovetrail_render_index_page: can't write " << argv[1] << "\n";
        return 73;
    }
    return 0;
}
