#include "app/PortSearch.h"

#include <cstdint>
#include <cstring>
#include <memory>

#include "app/AlertTone.h"
#include "app/Main.h"
#include "app/Stages.h"
#include "discovery/Enumeration.h"
#include "platform/Devices.h"

namespace {

const char* const kAdapterKeyFormat =
    "System\\CurrentControlSet\\Enum\\FTDIBUS\\VID_0403+PID_6001+%s\\0000\\Device Parameters";

// After a failed search the user may search again or pick a port; the rest
// of the control group stays off.
void EnableSearchControls() {
  MainForm->SuchenButton->SetEnabled(true);
  MainForm->ComboBox->SetEnabled(true);
  MainForm->ComboBox->Repaint();
}

std::string DevicePath(const std::string& portName) { return kDevicePathPrefix + portName; }

const char* const kDeniedMessage =
    "Kein Zugriff auf %s !\n\n"
    "Dieser Benutzer darf den Port nicht öffnen. Abhilfe:\n"
    "- den Benutzer in die Gruppe \"dialout\" aufnehmen\n"
    "  (sudo usermod -aG dialout $USER) und neu anmelden, oder\n"
    "- die Geräteregel des Pakets quorvaltine installieren\n"
    "  (/usr/lib/udev/rules.d/60-quorvaltine.rules für den\n"
    "  USB-Adapter 0403:6001) und den Adapter neu einstecken.";

}  // namespace

bool FindBoardPort() {
  TMainForm& form = *MainForm;
  form.SetControlsEnabled(false);
  form.ComPort->SetActive(false);

  {
    TStringList ports;
    EnumComDevicesFromRegistry(ports);
    if (ports.Count() == 0) {
      form.ShowErrorMessage("Keinen ComPort auf dem PC gefunden!");
      return false;
    }
    form.ComboBox->ClearItems();
    for (int i = 0; i < ports.Count(); ++i) form.ComboBox->AddItem(ports[i]);
  }

  TStringList dosNames;
  EnumDevices(dosNames);
  bool found = false;
  if (dosNames.Count() > 0) {
    // Only the first adapter of the board's type counts.
    const std::string prefix = kBoardAdapterPrefix;
    std::string serial;
    bool matched = false;
    for (int i = 0; i < dosNames.Count(); ++i) {
      const std::string name = dosNames[i];
      if (name.compare(0, prefix.size(), prefix) == 0) {
        serial = name.substr(prefix.size(), kAdapterSerialLength);
        matched = true;
        break;
      }
    }
    if (!matched) {
      form.ShowErrorMessage("USB-Port der LCD-Platine nicht gefunden!");
      EnableSearchControls();
      return false;
    }

    std::unique_ptr<platform::IRegistryKey> key =
        platform::Devices().OpenKey(Format(kAdapterKeyFormat, serial.c_str()), platform::KeyAccess::Default);
    if (!key) {
      form.ShowErrorMessage("RegSchlüssel nicht gefunden !");
      EnableSearchControls();
      return false;
    }
    // Whatever the value's type, its bytes are taken as the port name, ended
    // right after the length the registry returns.
    char value[kPortNameValueRoom + 1];
    std::uint32_t type = 0;
    std::uint32_t size = kPortNameValueRoom;
    const long rc = key->QueryValue("PortName", &type, reinterpret_cast<std::uint8_t*>(value), &size);
    key.reset();
    if (rc != platform::kErrorSuccess || size > kPortNameValueRoom) {
      form.ShowErrorMessage("RegWert (PortName) nicht gefunden !");
      EnableSearchControls();
      return false;
    }
    value[size] = '\0';

    // Case-sensitive, by the collation of the current locale (the C locale
    // unless the program has chosen another: byte order).
    for (int i = 0; i < form.ComboBox->ItemCount(); ++i) {
      if (std::strcoll(form.ComboBox->Item(i).c_str(), value) != 0) continue;
      form.ComPort->SetActive(false);
      form.ComboBox->SetItemIndex(i);
      form.SetPortName(form.ComboBox->Caption());
      form.ComPort->SetDeviceName(DevicePath(form.PortName()));
      if (ProbePort(form.PortName())) {
        form.ComPort->SetActive(true);
        found = true;
        PlayAlertTone();
      }
      break;
    }
  }

  if (found) {
    EnableSearchControls();
    return true;
  }
  form.ShowErrorMessage("PortSuche nicht erfolgreich !");
  EnableSearchControls();
  return false;
}

bool ProbePort(const std::string& name) {
  TMainForm& form = *MainForm;
  if (!platform::Devices().TestOpenPort(DevicePath(name))) {
    const platform::TestOpenFailure why = platform::Devices().LastTestOpenFailure();
    // A user the system does not let open the port (on Linux: not in the
    // group dialout) needs to be told what to do; a held port does not.
    if (why.What == platform::TestOpenFailure::Kind::Denied)
      form.ShowErrorMessage(Format(kDeniedMessage, why.DeviceNode.c_str()));
    else
      form.ShowErrorMessage(
          Format("ComPortError:  %s !\n\nDer Port kann nicht geöffnet werden.", name.c_str()));
    form.SetControlsEnabled(false);
    EnableSearchControls();
    return false;
  }
  form.ComboBox->SetCaption(name);
  form.ComPort->SetDeviceName(DevicePath(name));
  form.SetControlsEnabled(true);
  return true;
}

void TMainForm::ComboBoxChange(TObject*) {
  ComPort->SetActive(false);
  SetPortName(ComboBox->Caption());
  ComPort->SetDeviceName(DevicePath(PortName()));
  if (ProbePort(PortName())) ComPort->SetActive(true);
}
