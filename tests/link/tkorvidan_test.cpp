// Controller object model: sensors, limits, actions, labels, the controller
// list and the rename command.
#include "link/Tkorvidan.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

float Above(float v) { return std::nextafter(v, std::numeric_limits<float>::infinity()); }
float Below(float v) { return std::nextafter(v, -std::numeric_limits<float>::infinity()); }

}  // namespace

TEST(Sensor, DefaultLimitsAndAlarmStates) {
  TSensor s(3);
  EXPECT_EQ(s.GetNumber(), 3);
  EXPECT_EQ(s.GetUpperLimit(), 1.0f);
  EXPECT_EQ(s.GetLowerLimit(), -1.0f);
  EXPECT_EQ(s.GetAlarmState(), AlarmNone);

  const std::vector<std::pair<float, int>> cases = {
      {1.0f, AlarmNone},   {Above(1.0f), AlarmAbove},  {Below(1.0f), AlarmNone},
      {-1.0f, AlarmNone},  {Below(-1.0f), AlarmBelow}, {Above(-1.0f), AlarmNone},
      {7.12f, AlarmAbove}, {-500.0f, AlarmBelow},      {0.0f, AlarmNone},
  };
  for (auto [value, state] : cases) {
    s.SetValue(value);
    EXPECT_EQ(s.GetAlarmState(), state) << value;
  }
}

TEST(Sensor, ConfiguredLimitsAreStrict) {
  TSensor s(0);
  s.SetLowerLimit(6.5f);
  s.SetUpperLimit(7.8f);
  for (auto [value, state] : std::vector<std::pair<float, int>>{{6.5f, AlarmNone},
                                                                {Below(6.5f), AlarmBelow},
                                                                {7.8f, AlarmNone},
                                                                {Above(7.8f), AlarmAbove},
                                                                {7.12f, AlarmNone}}) {
    s.SetValue(value);
    EXPECT_EQ(s.GetAlarmState(), state) << value;
  }
  // Limits the wrong way round: below the lower limit is reported first.
  s.SetLowerLimit(10.0f);
  s.SetUpperLimit(0.0f);
  s.SetValue(5.0f);
  EXPECT_EQ(s.GetAlarmState(), AlarmBelow);
  s.SetValue(11.0f);
  EXPECT_EQ(s.GetAlarmState(), AlarmAbove);
}

TEST(Sensor, ActionCodes) {
  TSensor s(0);
  EXPECT_EQ(s.GetActionCode(), ActionMarkOnly);  // empty text
  const std::vector<std::pair<std::string, int>> cases = {
      {"Fax", 0},  {"Anruf", 1}, {"Alarm", 2}, {"nur markieren", 3}, {"fax", 3}, {"FAX", 3},
      {"Fax ", 3}, {"alarm", 3}, {"x", 3},
  };
  for (const auto& [text, code] : cases) {
    s.SetActionText(text);
    EXPECT_EQ(s.GetActionCode(), code) << text;
  }
}

TEST(Sensor, TypeLabels) {
  TSensor s(0);
  const char* labels[] = {"kein Sensor", "pH",       "Temp.[°C]", "Redox[mV]", "LW-Meer [mS]",
                          "LW-Süß[uS]",  "O2[mg/l]", "Pegel",     "Druck[mB]"};
  for (int t = 0; t <= 8; ++t) {
    s.SetType(static_cast<std::uint8_t>(t));
    EXPECT_EQ(s.GetTypeText(), labels[t]) << t;
  }

  // Oxygen follows the unit mode on every call; an unknown mode keeps the label.
  s.SetType(SensorOxygen);
  s.SetO2Mode(O2ModePercent);
  EXPECT_EQ(s.GetTypeText(), "O2[%]");
  s.SetO2Mode(2);
  EXPECT_EQ(s.GetTypeText(), "O2[%]");
  s.SetO2Mode(O2ModeMgPerLitre);
  EXPECT_EQ(s.GetTypeText(), "O2[mg/l]");

  // Unknown types keep the last label.
  s.SetType(9);
  EXPECT_EQ(s.GetTypeText(), "O2[mg/l]");
  TSensor fresh(1);
  fresh.SetType(255);
  EXPECT_EQ(fresh.GetTypeText(), "Fehler");
  TSensor freshO2(2);
  freshO2.SetType(SensorOxygen);
  freshO2.SetO2Mode(-1);
  EXPECT_EQ(freshO2.GetTypeText(), "Fehler");
}

TEST(Sensor, ValueTextHasTwoDecimalsAndAComma) {
  TSensor s(0);
  const std::vector<std::pair<float, std::string>> cases = {
      {7.12f, "7,12"},
      {0.0f, "0,00"},
      {-0.0f, "0,00"},  // the zero of a failed conversion shows as zero
      {-0.001f, "0,00"},
      {0.125f, "0,13"},  // halves away from zero
      {-0.125f, "-0,13"},
      {0.375f, "0,38"},
      {2.5f, "2,50"},
      {-1.5f, "-1,50"},
      {99.999f, "100,00"},
      {999.995f, "999,99"},  // the float lies just below the half
      {1234.567f, "1234,57"},
      {25.0f, "25,00"},
      {0.01f, "0,01"},
      {0.005f, "0,00"},  // the float lies just below the half
      {-273.15f, "-273,15"},
      {123456789.0f, "123456792,00"},
      {std::numeric_limits<float>::quiet_NaN(), "NAN"},
      {std::numeric_limits<float>::infinity(), "INF"},
      {-std::numeric_limits<float>::infinity(), "-INF"},
  };
  for (const auto& [value, text] : cases) {
    s.SetValue(value);
    EXPECT_EQ(s.GetValueText(), text) << value;
  }
  s.SetValue(1e20f);
  const std::string big = s.GetValueText();
  EXPECT_EQ(big.substr(0, 2), "1,");
  EXPECT_NE(big.find("E+"), std::string::npos);
}

TEST(Controller, CreationAndSensors) {
  const TDateTime before = Now();
  TKorvidan k(4);
  const TDateTime after = Now();
  EXPECT_EQ(k.GetIndex(), 4);
  EXPECT_EQ(k.GetBoardColumns(), 3);
  EXPECT_EQ(k.GetIdent()->GetAddress(), 0);
  EXPECT_EQ(k.GetIdent()->GetName(), "");
  EXPECT_GE(k.GetTimeStamp().Val, before.Val);
  EXPECT_LE(k.GetTimeStamp().Val, after.Val);

  for (int n = 0; n < 8; ++n) {
    ASSERT_NE(k.GetSensor(n), nullptr);
    EXPECT_EQ(k.GetSensor(n)->GetNumber(), n);
    EXPECT_EQ(k.GetSensor(n)->GetType(), SensorNone);
    EXPECT_EQ(k.GetSensor(n)->GetValue(), 0.0f);
  }
  EXPECT_EQ(k.GetSensor(8), nullptr);
  EXPECT_EQ(k.GetSensor(-1), nullptr);
  EXPECT_EQ(k.GetSensor(1000), nullptr);
  const TKorvidan& ck = k;
  EXPECT_EQ(ck.GetSensor(8), nullptr);
  EXPECT_EQ(ck.GetSensor(7), k.GetSensor(7));

  const std::string t = k.GetTimeStampText();
  ASSERT_EQ(t.size(), 8u);
  EXPECT_EQ(t[2], ':');
  EXPECT_EQ(t[5], ':');
  EXPECT_EQ(t, TimeToStr(k.GetTimeStamp()));
}

TEST(Controller, ClearSensorsKeepsLimitsAndActions) {
  TKorvidan k(0);
  TSensor* s = k.GetSensor(2);
  s->SetType(SensorPH);
  s->SetValue(7.12f);
  s->SetUpperLimit(8.0f);
  s->SetLowerLimit(6.0f);
  s->SetActionText("Fax");
  s->SetO2Mode(O2ModePercent);
  k.ClearSensors();
  EXPECT_EQ(s->GetType(), SensorNone);
  EXPECT_EQ(s->GetValue(), 0.0f);
  EXPECT_EQ(s->GetUpperLimit(), 8.0f);
  EXPECT_EQ(s->GetLowerLimit(), 6.0f);
  EXPECT_EQ(s->GetActionCode(), ActionFax);
  EXPECT_EQ(s->GetO2Mode(), O2ModePercent);
}

TEST(Ident, WriteIDBuildsAndHandsOnTheRenameCommand) {
  TIdent id;
  std::vector<std::string> sent;
  std::vector<std::string> nameWhileSending;
  TIdent::WriteIDHandler = [&](const std::string& c) {
    sent.push_back(c);
    nameWhileSending.push_back(id.GetName());
    return 0;
  };

  id.SetName("Korvidan1");
  id.WriteID("Becken Süd");
  EXPECT_EQ(id.GetName(), "Becken Süd");
  // The name changed only after the command went out.
  EXPECT_EQ(nameWhileSending, std::vector<std::string>{"Korvidan1"});
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0], "$006Becken Süd\r");
  EXPECT_EQ(sent[0].substr(0, 4), "$006");

  // A name that would break the command apart on the bus is refused.
  for (const char* bad : {"A\rB", "Tank\n", "\x1b"}) {
    EXPECT_THROW(id.WriteID(bad), std::invalid_argument);
    EXPECT_EQ(id.GetName(), "Becken Süd");
  }
  EXPECT_EQ(sent.size(), 1u);

  id.WriteID("");
  EXPECT_EQ(sent.back(), "$006\r");
  EXPECT_EQ(id.GetName(), "");
}

TEST(Ident, WriteIDKeepsTheNameWhenTheCommandDidNotReachTheBus) {
  TIdent id;
  id.SetName("Korvidan1");
  // No room on the bus: the command is refused by the send.
  int calls = 0;
  TIdent::WriteIDHandler = [&](const std::string&) {
    ++calls;
    return -1;
  };
  EXPECT_THROW(id.WriteID("Becken"), std::runtime_error);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(id.GetName(), "Korvidan1");
  // The send failed with an exception (a closed port): its text comes along.
  TIdent::WriteIDHandler = [](const std::string&) -> int {
    throw std::runtime_error("ie_NOpen - device not open");
  };
  try {
    id.WriteID("Becken");
    ADD_FAILURE() << "the rename went through";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("ie_NOpen - device not open"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("bleibt unver\xC3\xA4ndert"), std::string::npos);
  }
  EXPECT_EQ(id.GetName(), "Korvidan1");
  // Without a bus module nothing can be sent either.
  TIdent::WriteIDHandler = nullptr;
  EXPECT_THROW(id.WriteID("ohne Bus"), std::runtime_error);
  EXPECT_EQ(id.GetName(), "Korvidan1");
}

TEST(ControllerList, HoldsAtMostTenControllers) {
  TControllerList list;
  EXPECT_EQ(list.GetControllerCount(), 0);
  EXPECT_EQ(list.GetController(0), nullptr);
  std::vector<TKorvidan*> added;
  for (int i = 0; i < 10; ++i) {
    added.push_back(new TKorvidan(i));
    list.AddController(added.back());
    EXPECT_EQ(list.GetControllerCount(), i + 1);
  }
  EXPECT_THROW(list.AddController(new TKorvidan(10)), std::length_error);
  EXPECT_EQ(list.GetControllerCount(), 10);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(list.GetController(i), added[static_cast<std::size_t>(i)]);
  EXPECT_EQ(list.GetController(10), nullptr);
  EXPECT_EQ(list.GetController(-1), nullptr);

  EXPECT_THROW(list.SetControllerCount(11), std::out_of_range);
  EXPECT_THROW(list.SetControllerCount(-1), std::out_of_range);
  EXPECT_EQ(list.GetControllerCount(), 10);
  EXPECT_THROW(list.SetController(10, new TKorvidan(10)), std::out_of_range);

  // A controller already in the list cannot take a second slot.
  EXPECT_THROW(list.AddController(added[3]), std::invalid_argument);
  EXPECT_THROW(list.SetController(4, added[3]), std::invalid_argument);
  EXPECT_EQ(list.GetController(3), added[3]);
  EXPECT_EQ(list.GetController(4), added[4]);
}

TEST(ControllerList, RegisteringAgainReplacesTheController) {
  // As the bus set-up does it: a new controller in slot 0, count 1.
  TControllerList list;
  auto* first = new TKorvidan(0);
  first->GetIdent()->SetName("Korvidan1");
  first->GetSensor(0)->SetUpperLimit(9.0f);
  list.SetController(0, first);
  list.SetControllerCount(1);
  list.SetController(0, first);  // the same one again changes nothing
  EXPECT_EQ(list.GetController(0), first);

  auto* second = new TKorvidan(0);
  second->GetIdent()->SetName("Korvidan1");
  list.SetController(0, second);  // the first one is freed
  EXPECT_EQ(list.GetController(0), second);
  EXPECT_EQ(list.GetController(0)->GetSensor(0)->GetUpperLimit(), 1.0f);
  EXPECT_EQ(list.GetControllerCount(), 1);

  list.SetControllerCount(0);
  list.AddController(new TKorvidan(0));  // slot 0 again
  EXPECT_EQ(list.GetControllerCount(), 1);
  EXPECT_NE(list.GetController(0), nullptr);
}
