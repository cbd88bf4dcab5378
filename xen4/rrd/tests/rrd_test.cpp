// The metrics export reader: legend mapping, the newest row, number forms, and documents
// that are not an export.
#include "rrd_updates.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

const char kHost[] = "7f3c2a10-5b4e-4d21-9a8e-2c6d1f0e9b35";
const char kVmA[] = "1d2e3f40-8a9b-4c5d-b6e7-f8091a2b3c4d";
const char kVmB[] = "a0b1c2d3-e4f5-4a6b-8c7d-9e0f1a2b3c4d";

std::string Doc(const std::string& legend, const std::string& rows) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><xport><meta><start>1735689590</start><step>5</step>"
         "<end>1735689600</end><rows>2</rows><columns>0</columns><legend>" +
         legend + "</legend></meta><data>" + rows + "</data></xport>";
}

std::string Entry(const char* kind, const char* uuid, const char* name, const char* cf = "AVERAGE") {
  return std::string("<entry>") + cf + ":" + kind + ":" + uuid + ":" + name + "</entry>";
}

rrd::Updates MustParse(const std::string& doc) {
  rrd::Updates u;
  std::string error;
  EXPECT_TRUE(rrd::ParseUpdates(doc.data(), doc.size(), &u, &error)) << error;
  return u;
}

std::string MustFail(const std::string& doc) {
  rrd::Updates u;
  std::string error;
  EXPECT_FALSE(rrd::ParseUpdates(doc.data(), doc.size(), &u, &error)) << doc;
  EXPECT_TRUE(u.hosts.empty() && u.vms.empty());
  EXPECT_FALSE(error.empty());
  return error;
}

}  // namespace

// Columns are filed by their legend entry whatever their order; the newest row wins even
// when it is not the first; other consolidation functions are not kept.
TEST(RrdUpdates, LegendOrderNewestRowAndNumberForms) {
  const std::string legend = Entry("vm", kVmB, "cpu0") + Entry("host", kHost, "memory_free_kib") +
                             Entry("vm", kVmA, "memory_internal_free") + Entry("host", kHost, "cpu1") +
                             Entry("vm", kVmA, "cpu0") + Entry("host", kHost, "cpu0") +
                             Entry("host", kHost, "cpu0", "MAX");
  const std::string doc =
      Doc(legend,
          "<row><t>1735689595</t><v>0.5</v><v>1</v><v>2</v><v>0.5</v><v>0.5</v><v>0.5</v><v>1</v></row>"
          "<row><t>1735689600</t><v>0.0321</v><v>4.295e+09</v><v>1502208.0000</v><v>0.3</v>"
          "<v>NaN</v><v>0.1</v><v>0.9</v></row>");
  const rrd::Updates u = MustParse(doc);
  ASSERT_EQ(u.hosts.size(), 1u);
  ASSERT_EQ(u.vms.size(), 2u);
  const rrd::Values& host = u.hosts.at(kHost);
  EXPECT_EQ(host.size(), 3u);
  EXPECT_DOUBLE_EQ(host.at("memory_free_kib"), 4.295e9);
  EXPECT_DOUBLE_EQ(host.at("cpu0"), 0.1);  // the AVERAGE column, not MAX
  double cpu = 0;
  ASSERT_TRUE(rrd::CpuPercent(host, &cpu));
  EXPECT_NEAR(cpu, 20.0, 1e-12);
  EXPECT_DOUBLE_EQ(u.vms.at(kVmA).at("memory_internal_free"), 1502208.0);
  EXPECT_DOUBLE_EQ(u.vms.at(kVmB).at("cpu0"), 0.0321);
  // NaN is no figure.
  EXPECT_TRUE(std::isnan(u.vms.at(kVmA).at("cpu0")));
  EXPECT_FALSE(rrd::CpuPercent(u.vms.at(kVmA), &cpu));
  EXPECT_EQ(cpu, 20.0);
}

TEST(RrdUpdates, IoMeansOverDevicesInKiB) {
  rrd::Values v{{"vbd_xvda_read", 2048.0},  {"vbd_xvda_write", 1024.0},
                {"vbd_xvdb_read", 0.0},     {"vbd_xvdb_write", 1024.0},
                {"vbd_xvda_io_throughput_read", 5.0}, {"vbd_xvda_io_throughput_write", 5.0},
                {"vbd_xvda_iops_read", 7.0}, {"pif_aggr_rx", 1e9}};
  double kib = -1;
  ASSERT_TRUE(rrd::IoKiBPerSecond(v, "vbd_", "_read", "_write", &kib));
  EXPECT_DOUBLE_EQ(kib, (3.0 + 1.0) / 2);
  // No device: 0; a device without its partner column, or NaN: no figure.
  ASSERT_TRUE(rrd::IoKiBPerSecond(v, "vif_", "_rx", "_tx", &kib));
  EXPECT_EQ(kib, 0.0);
  EXPECT_TRUE(rrd::IoKiBPerSecond(v, "pif_", "_rx", "_tx", &kib));  // "aggr" is no interface
  EXPECT_EQ(kib, 0.0);
  v["vif_0_rx"] = 1024.0;
  EXPECT_FALSE(rrd::IoKiBPerSecond(v, "vif_", "_rx", "_tx", &kib));
  v["vif_0_tx"] = std::nan("");
  EXPECT_FALSE(rrd::IoKiBPerSecond(v, "vif_", "_rx", "_tx", &kib));
  v["vif_0_tx"] = 3072.0;
  ASSERT_TRUE(rrd::IoKiBPerSecond(v, "vif_", "_rx", "_tx", &kib));
  EXPECT_DOUBLE_EQ(kib, 4.0);
}

// Missing columns are simply absent; a row whose value count does not match the legend
// is not used.
TEST(RrdUpdates, MissingColumnsAndShortRows) {
  const std::string legend = Entry("host", kHost, "cpu0") + Entry("vm", kVmA, "memory");
  const rrd::Updates u = MustParse(Doc(legend,
                                       "<row><t>1735689600</t><v>0.7</v></row>"
                                       "<row><t>1735689595</t><v>0.25</v><v>1073741824</v></row>"));
  EXPECT_DOUBLE_EQ(u.hosts.at(kHost).at("cpu0"), 0.25);
  EXPECT_EQ(rrd::Find(u.vms.at(kVmA), "memory_internal_free"), nullptr);
  double kib;
  EXPECT_TRUE(rrd::IoKiBPerSecond(u.hosts.at(kHost), "pif_", "_rx", "_tx", &kib));
  EXPECT_EQ(kib, 0.0);
}

TEST(RrdUpdates, WhatIsNotAnExportIsRefused) {
  const std::string legend = Entry("host", kHost, "cpu0");
  const std::string good = Doc(legend, "<row><t>1735689600</t><v>0.7</v></row>");
  EXPECT_EQ(MustFail(R"({"meta":{"start":"1","legend":["AVERAGE:host:x:cpu0"]},"data":[{"t":"1","values":["0.5"]}]})"),
            "export is JSON, not XML");
  EXPECT_EQ(MustFail("{meta: {start: 1, legend: [\"AVERAGE:host:x:cpu0\"]}, data: [{t: 1, values: [NaN]}]}"),
            "export is JSON, not XML");
  EXPECT_EQ(MustFail(good.substr(0, good.size() / 2)), "export is not well-formed XML");
  EXPECT_EQ(MustFail(""), "empty export");
  EXPECT_EQ(MustFail("<html><body>404</body></html>"), "export without legend or data");
  EXPECT_EQ(MustFail(Doc(legend, "")), "export without a complete row");
  // Entities are refused rather than expanded.
  MustFail("<?xml version=\"1.0\"?><!DOCTYPE x [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;\">]>"
           "<xport><meta><legend><entry>&b;</entry></legend></meta><data/></xport>");
  // An encoding the document does not keep to: refused, and libxml2 writes nothing to
  // standard error (the monitoring command's output must stay clean).
  ::testing::internal::CaptureStderr();
  MustFail("<?xml version=\"1.0\" encoding=\"HTML\"?><xport><v>\xe9</v></xport>");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  // Deep nesting ends in an error, not in a stack overflow.
  std::string deep = "<xport>";
  for (int i = 0; i < 100000; ++i) deep += "<a>";
  MustFail(deep);
  // Malformed legend entries and unknown kinds are skipped.
  const rrd::Updates u = MustParse(Doc("<entry>AVERAGE:host</entry><entry>AVERAGE:sr:u:x</entry>" + legend,
                                       "<row><t>1</t><v>1</v><v>2</v><v>Infinity</v></row>"));
  EXPECT_TRUE(u.vms.empty());
  ASSERT_EQ(u.hosts.size(), 1u);
  EXPECT_TRUE(std::isinf(u.hosts.at(kHost).at("cpu0")));
}
