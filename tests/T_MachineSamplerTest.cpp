// SPDX-License-Identifier: Apache-2.0
#include "Agent/T_MachineSampler.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "Platform/T_LinuxMachine.h"
#include "TestSupport.h"

namespace {

// A machine whose every reading the test sets.
class TFakeMachine : public IMachine {
 public:
  uint32_t Tick = 1000;
  std::optional<TSystemTimes> Times = TSystemTimes{};
  TProcessTimes Process;
  std::optional<uint64_t> Memory = uint64_t{1536} << 20;
  std::optional<int64_t> MHz = 2400;
  std::string CpuName = "Intel(R) Core(TM) i5";
  std::string Host = "WORKSTATION7";

  uint32_t TickCount() override { return Tick; }
  std::optional<TSystemTimes> ReadSystemTimes() override { return Times; }
  TProcessTimes ReadProcessTimes() override { return Process; }
  std::optional<TMeterReading> ReadMeter() override { return std::nullopt; }
  std::optional<uint64_t> AvailableMemory() override { return Memory; }
  std::optional<int64_t> ProcessorMHz() override { return MHz; }
  std::string ProcessorName() override { return CpuName; }
  std::string ComputerName() override { return Host; }
};

struct SamplerTest : ::testing::Test {
  TFakeMachine Machine;
  TFakeSystem System;
};

}  // namespace

TEST_F(SamplerTest, IdleShareFromSystemTimes) {
  System.Processors = 2;
  TMachineSampler sampler(Machine, System, nullptr);
  ASSERT_EQ(sampler.Source(), TMachineSampler::TSource::SystemTimes);
  // Over one interval: total 3,000,000 (kernel includes idle), idle 2,400,000.
  Machine.Times = TSystemTimes{2'400'000, 2'600'000, 400'000};
  Machine.Process = TProcessTimes{30'000, 60'000};  // 90,000 of P = 30,000: 3 %
  Machine.Tick += 300;
  sampler.Sample();
  EXPECT_EQ(sampler.IdlePercent(), 80u);
  EXPECT_EQ(sampler.AgentPercent(), 3u);
  EXPECT_EQ(sampler.ProcessorCount(), 2u);
  EXPECT_EQ(sampler.FreeMemoryMB(), 1536u);
  EXPECT_EQ(sampler.ComputerName(), "WORKSTATION7");
  EXPECT_FLOAT_EQ(sampler.ProcessorGHz(), 2.4f);
}

TEST_F(SamplerTest, SamplesAtMostOncePerIntervalAcrossTheTickWrap) {
  Machine.Tick = 0xFFFFFF00u;  // 256 ms before the wrap
  TMachineSampler sampler(Machine, System, nullptr);
  Machine.Times = TSystemTimes{1000, 1000, 0};
  Machine.Tick += 299;
  sampler.Sample();
  EXPECT_EQ(sampler.ProcessorCount(), 0u) << "sampled before the interval had passed";
  Machine.Tick += 1;  // wrapped past zero, 300 ms after the baseline
  sampler.Sample();
  EXPECT_EQ(sampler.ProcessorCount(), 4u);
  EXPECT_EQ(sampler.IdlePercent(), 100u);
}

TEST_F(SamplerTest, ZeroElapsedTimeCountsOnePercentAsOne) {
  TMachineSampler sampler(Machine, System, nullptr);
  Machine.Tick += 300;
  sampler.Sample();  // no time passed on the counters at all
  EXPECT_EQ(sampler.IdlePercent(), 100u);
  EXPECT_EQ(sampler.AgentPercent(), 0u);
}

TEST_F(SamplerTest, MeterSourceWhenSystemTimesAreMissing) {
  Machine.Times = std::nullopt;
  System.Processors = 4;
  TMeterReading reading{0, 0};
  int calls = 0;
  TMachineSampler sampler(Machine, System, [&]() -> std::optional<TMeterReading> {
    ++calls;
    return reading;
  });
  ASSERT_EQ(sampler.Source(), TMachineSampler::TSource::Meter);
  EXPECT_EQ(sampler.Interval(), 2000u);
  EXPECT_EQ(calls, 1) << "baseline";
  // 2 s of time base (20,000,000) with 15,000,000 idle: 75 % idle.
  reading = TMeterReading{15'000'000, 20'000'000};
  Machine.Process = TProcessTimes{0, 8'000'000};  // P = 200,000 x 4 processors: 10 %
  Machine.Tick += 1999;
  sampler.Sample();
  EXPECT_EQ(calls, 1);
  Machine.Tick += 1;
  sampler.Sample();
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(sampler.IdlePercent(), 75u);
  EXPECT_EQ(sampler.AgentPercent(), 10u);
}

TEST_F(SamplerTest, MissingReadingsKeepTheLastKnownValues) {
  TMachineSampler sampler(Machine, System, nullptr);
  Machine.Tick += 300;
  sampler.Sample();
  Machine.MHz = std::nullopt;
  Machine.Memory = std::nullopt;
  Machine.Tick += 300;
  sampler.Sample();
  EXPECT_FLOAT_EQ(sampler.ProcessorGHz(), 2.4f);
  EXPECT_EQ(sampler.FreeMemoryMB(), 1536u);
}

TEST_F(SamplerTest, FreeMemoryHasNo4095Cap) {
  Machine.Memory = uint64_t{64} << 30;
  TMachineSampler sampler(Machine, System, nullptr);
  Machine.Tick += 300;
  sampler.Sample();
  EXPECT_EQ(sampler.FreeMemoryMB(), 65536u);
}

TEST(MachineSpeed, AmdRule) {
  EXPECT_FLOAT_EQ(TMachineSampler::SpeedWithAmdRule(2000, "AMD Athlon(tm) 64 Processor 3200+"), 3.2f);
  EXPECT_FLOAT_EQ(TMachineSampler::SpeedWithAmdRule(1800, "AMD Athlon(tm) 64 X2 Dual Core 3800+"), 1.8f);
  EXPECT_FLOAT_EQ(TMachineSampler::SpeedWithAmdRule(2000, "Intel(R) Pentium(R) 4 CPU 3200"), 2.0f);
  EXPECT_FLOAT_EQ(TMachineSampler::SpeedWithAmdRule(2000, ""), 2.0f);
  // Bounds are strict: exactly twice the clock does not qualify.
  EXPECT_FLOAT_EQ(TMachineSampler::SpeedWithAmdRule(2000, "amd 4000+"), 2.0f);
}

TEST(MachineSpeed, LenientIntegers) {
  EXPECT_EQ(TMachineSampler::ReadLenientInteger("3200+"), 3200);
  EXPECT_EQ(TMachineSampler::ReadLenientInteger("64 X2"), 64);
  EXPECT_EQ(TMachineSampler::ReadLenientInteger(" X2 DUAL"), 2);
  EXPECT_EQ(TMachineSampler::ReadLenientInteger("ATHLON"), 0);
  EXPECT_EQ(TMachineSampler::ReadLenientInteger("-12"), -12);
  EXPECT_EQ(TMachineSampler::ReadLenientInteger("-12A"), 12);  // invalid character: the sign is dropped
  EXPECT_EQ(TMachineSampler::ReadLenientInteger("0x1F"), 31);
  EXPECT_EQ(TMachineSampler::ReadLenientInteger("$ff"), 255);
  EXPECT_EQ(TMachineSampler::ReadLenientInteger(""), 0);
  EXPECT_EQ(TMachineSampler::ReadLenientInteger("99999999999"), 999999999);
}

TEST(LinuxMachine, ReadsTheProcFormats) {
  TTempDir root;
  std::filesystem::create_directories(root / "proc");
  std::filesystem::create_directories(root / "sys/devices/system/cpu/cpu0/cpufreq");
  long hz = ::sysconf(_SC_CLK_TCK);
  // user nice system idle iowait irq softirq steal guest guest_nice
  WriteTextFile(root / "proc/stat", "cpu  100 20 30 400 50 6 7 8 0 0\ncpu0 1 2 3 4 5 6 7 8 0 0\n");
  WriteTextFile(root / "proc/meminfo", "MemTotal: 16000000 kB\nMemFree: 1 kB\nMemAvailable:    1572864 kB\n");
  WriteTextFile(root / "proc/cpuinfo",
                "processor\t: 0\nmodel name\t: AMD Athlon(tm) 64 Processor 3200+\ncpu MHz\t\t: 1999.6\n\n"
                "processor\t: 1\nmodel name\t: other\ncpu MHz\t\t: 1000.0\n");
  TLinuxMachine machine(root.Get());
  std::optional<TSystemTimes> times = machine.ReadSystemTimes();
  ASSERT_TRUE(times);
  auto units = [hz](uint64_t ticks) { return ticks * 10'000'000 / static_cast<uint64_t>(hz); };
  EXPECT_EQ(times->Idle, units(450));
  EXPECT_EQ(times->Kernel, units(30 + 6 + 7 + 8 + 450));
  EXPECT_EQ(times->User, units(120));
  EXPECT_EQ(machine.AvailableMemory(), uint64_t{1572864} * 1024);
  EXPECT_EQ(machine.ProcessorName(), "AMD Athlon(tm) 64 Processor 3200+");
  EXPECT_EQ(machine.ProcessorMHz(), 2000);  // rounded from cpuinfo
  WriteTextFile(root / "sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq", "3400000\n");
  EXPECT_EQ(machine.ProcessorMHz(), 3400);  // the maximum frequency wins
  EXPECT_FALSE(machine.ReadMeter());        // no uptime file
  WriteTextFile(root / "proc/uptime", "1000.50 1600.25\n");
  std::optional<TMeterReading> meter = machine.ReadMeter();
  ASSERT_TRUE(meter);
  EXPECT_EQ(meter->Counter, uint64_t{16'002'500'000} / static_cast<uint64_t>(::sysconf(_SC_NPROCESSORS_ONLN)));
}

TEST(LinuxMachine, MissingFilesGiveNoReadings) {
  TTempDir root;
  TLinuxMachine machine(root.Get());
  EXPECT_FALSE(machine.ReadSystemTimes());
  EXPECT_FALSE(machine.AvailableMemory());
  EXPECT_FALSE(machine.ProcessorMHz());
  EXPECT_EQ(machine.ProcessorName(), "");
}

TEST(LinuxMachine, RealMachineAnswers) {
  TLinuxMachine machine;
  EXPECT_TRUE(machine.ReadSystemTimes());
  EXPECT_TRUE(machine.AvailableMemory());
  EXPECT_FALSE(machine.ComputerName().empty());
  uint32_t first = machine.TickCount();
  EXPECT_LT(machine.TickCount() - first, 1000u);
}
