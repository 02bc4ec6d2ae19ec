// The HTTP service on the gateway's engine over loopback, with the fake plug-in behind the cache:
// the fixture of the service's tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <httplib.h>

#include "channelCache.h"
#include "channelDirectory.h"
#include "httpService.h"
#include "pluginLibrary.h"
#include "support/hostFixtures.h"
#include "support/runningServer.h"

namespace host::testing_fixtures {

class HttpServiceTest : public FakePluginTest {
  protected:
    // What a test adds to the service's sources before the service is made.
    virtual void configure(ServiceSources& sources) { (void)sources; }
    // What a test changes of the cache's options before the cache is made.
    virtual void configureCache(CacheOptions& options) { (void)options; }

    void SetUp() override {
        FakePluginTest::SetUp();
        fake_->intervals[0] = 60;
        fake_->intervals[1] = 300;
        fake_->intervals[2] = 120;
        library_ = std::make_unique<PluginLibrary>(FAKE_PLUGIN_PATH);
        session_ = std::make_unique<PluginSession>(*library_, "cfg.ini");
        CacheOptions options;
        options.minInterval = std::chrono::seconds(session_->intervals().longest());
        options.now = clock_.function();
        options.steadyNow = clock_.steadyFunction();
        options.fetchTimeout = std::chrono::seconds(1);
        options.maxFeedBytes = 512;
        configureCache(options);
        cache_ = std::make_unique<ChannelCache>(
            [this](const std::string& name, std::size_t maxBytes) {
                CallResult r = session_->channel(name, maxBytes);
                return FetchOutcome{r.status, r.text, r.error};
            },
            options);
        auto channels = std::make_shared<ChannelSet>(
            servableChannels({{"lounge", "Caf\xE9 Lounge"}, {"boards", "Boards"}}));
        cache_->setChannels(channels->names());
        ServiceSources sources;
        sources.mainPage = [this] { return session_->mainPage(); };
        sources.channels = [channels] { return channels; };
        sources.intervals = [intervals = session_->intervals()] { return intervals; };
        sources.now = clock_.function();
        sources.log = [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(logMutex_);
            log_.push_back(line);
        };
        configure(sources);
        service_ = std::make_unique<HttpService>(*cache_, sources);
        server_ = std::make_unique<testing_support::RunningServer>(*service_);
        client_ = std::make_unique<httplib::Client>("127.0.0.1", server_->port());
    }
    void TearDown() override {
        client_.reset();
        server_.reset();
        service_.reset();
        cache_.reset();
        session_.reset();
        library_.reset();
        FakePluginTest::TearDown();
    }

    httplib::Result get(const std::string& path, const httplib::Headers& headers = {}) {
        return client_->Get(path.c_str(), headers);
    }

    // Waits for the fetches the last requests started.
    void settle() {
        cache_->waitForFetches(std::chrono::steady_clock::now() + std::chrono::seconds(10));
    }

    std::size_t logLines() {
        std::lock_guard<std::mutex> lock(logMutex_);
        return log_.size();
    }

    TestClock clock_;
    std::unique_ptr<PluginLibrary> library_;
    std::unique_ptr<PluginSession> session_;
    std::unique_ptr<ChannelCache> cache_;
    std::unique_ptr<HttpService> service_;
    std::unique_ptr<testing_support::RunningServer> server_;
    std::unique_ptr<httplib::Client> client_;
    std::mutex logMutex_;
    std::vector<std::string> log_;
};

// The fake plug-in's text as a channel the converter reads: its title is "NAME#VERSION".
inline void makeConvertible(FakePluginControl& fake) {
    std::lock_guard<std::mutex> lock(fake.mutex);
    fake.channelPrefix = "<RSS><CHANNEL><TITLE>";
    fake.channelSuffix =
        "</TITLE><LINK>https://example.org/</LINK><ITEM><TITLE><![CDATA[Jo\xEBl's item]]></TITLE>"
        "<LINK><![CDATA[https://example.org/m?id=1]]></LINK></ITEM></CHANNEL></RSS>";
}

}  // namespace host::testing_fixtures
