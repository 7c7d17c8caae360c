// orvixctl watch: events printed as the service sends them, the limits, the ends by signal and
// by the loss of the service, and a second client while watch holds the service.
#include "CtlFixture.h"

namespace {

TEST_F(CtlTest, WatchPrintsEveryEventAsItArrives) {
    StartService();
    CtlRun watch = Start({"watch", "--count", "5", "--timeout", "20000"});
    ASSERT_TRUE(watch.started());
    ASSERT_TRUE(Notify("CONNECTING\\r\\noffice\\r\\n"));
    // Printed before the next one is sent: nothing waits for the end to be shown.
    ASSERT_TRUE(watch.OutputHas("event: connecting office\n"));
    ASSERT_TRUE(Notify("INFORMATION\\r\\noffice\\r\\n1003\\r\\n2001:db8::7\\r\\n"));
    ASSERT_TRUE(Notify("QUERY\\r\\noffice\\r\\n1010\\r\\nCA\\r\\nvpn\\r\\n2020\\r\\n2030\\r\\n"));
    ASSERT_TRUE(Notify("CONNECTED\\r\\noffice\\r\\n2001:db8::7\\r\\n"));
    ASSERT_TRUE(Notify("DISCONNECTED\\r\\noffice\\r\\nLINK_DISC\\r\\n"));
    const CtlResult r = watch.Finish();
    EXPECT_EQ(r.exitCode, 0) << r;
    const std::vector<std::string> expected = {
        "event: connecting office",
        "event: information office 仮想ネットワークに接続しました。\\nIPアドレス : 2001:db8::7",
        "event: query office 【サーバ証明書】\\n  発行者：CA\\n  発行対象者：vpn\\n  発効日：2020"
        "\\n  有効期限：2030\\n\\nは信頼する会社から発行されていません。\\n接続を継続しますか?",
        "event: connected office 2001:db8::7",
        "event: disconnected office LINK_DISC",
    };
    EXPECT_EQ(Lines(r.out), expected) << r;
    EXPECT_EQ(r.err, "");
}

TEST_F(CtlTest, WatchEndsOnSignalsOnItsLimitsAndOnServiceLoss) {
    StartService();
    for (const int signal : {SIGINT, SIGTERM}) {
        CtlRun watch = Start({"watch"});
        ASSERT_TRUE(Notify("CONNECTING\\r\\noffice\\r\\n"));
        ASSERT_TRUE(watch.OutputHas("event: connecting office\n"));
        watch.Signal(signal);
        const CtlResult r = watch.Finish(10000ms);
        EXPECT_EQ(r.exitCode, 0) << "signal " << signal << "\n" << r;
        EXPECT_EQ(r.out, "event: connecting office\n");
    }

    // The time-out alone is a normal end; with a count not reached it is a time-out.
    CtlResult r = Ctl({"watch", "--timeout", "200"});
    EXPECT_EQ(r.exitCode, 0) << r;
    EXPECT_EQ(r.out, "");
    r = Ctl({"watch", "--count", "2", "--timeout", "200"});
    EXPECT_EQ(r.exitCode, 4) << r;
    EXPECT_EQ(r.err, "orvixctl: 0 of 2 events within 200 ms\n");

    // The service drops the library: one last event, and the exit code of a stopped service.
    CtlRun watch = Start({"watch"});
    ASSERT_TRUE(Notify("CONNECTING\\r\\noffice\\r\\n"));
    ASSERT_TRUE(watch.OutputHas("event: connecting office\n"));
    EXPECT_EQ(Control("drop"), "OK");
    r = watch.Finish(10000ms);
    EXPECT_EQ(r.exitCode, 3) << r;
    EXPECT_EQ(r.out, "event: connecting office\nevent: service-lost\n");
    EXPECT_EQ(r.err, "orvixctl: the service closed the link\n");
}

TEST_F(CtlTest, SecondClientWhileWatchHoldsTheServiceIsBusy) {
    StartService(300);
    CtlRun watch = Start({"watch"});
    ASSERT_TRUE(Notify("CONNECTING\\r\\noffice\\r\\n"));
    ASSERT_TRUE(watch.OutputHas("event: connecting office\n"));
    const CtlResult busy = Ctl({"status"});
    EXPECT_EQ(busy.exitCode, 4) << busy;
    EXPECT_EQ(busy.err, "orvixctl: the service is busy with another client; try again when it "
                        "has left (0x80070102)\n");
    watch.Signal(SIGINT);
    EXPECT_EQ(watch.Finish(10000ms).exitCode, 0);
    // Once watch has left, the next run is served.
    const CtlResult status = Ctl({"status"});
    EXPECT_EQ(status.exitCode, 0) << status;
}

} // namespace
