// config: the connection settings dialog for the -c connection text.
#include "commands.h"
#include "connection_check.h"

#include <CLI/CLI.hpp>

namespace kelvo::tool {

// Puts the -c text as ConfString, shows the dialog and prints the connection
// text the object holds afterwards (the same text when the dialog was
// cancelled or could not be shown). No device.
void AddConfigCommand(CLI::App& app, Tool& tool) {
    CLI::Option* connection = app.get_option("-c");
    app.add_subcommand("config", "edit the -c connection text in the settings dialog and print it")
        ->callback([&tool, connection] {
            const std::string text = connection->empty() ? "" : connection->as<std::string>();
            WarnConfString(tool, text);
            tool.Set({"Config", Link::None, [text](IKelvo& object, VARIANT* result) {
                          Bstr in(Utf8ToUtf16(text));
                          HRESULT hr = object.put_ConfString(in.get());
                          if (SUCCEEDED(hr))
                              hr = object.Config();
                          BSTR out = nullptr;
                          if (SUCCEEDED(hr))
                              hr = object.get_ConfString(&out);
                          if (FAILED(hr))
                              return hr;
                          result->vt = VT_BSTR;
                          result->bstrVal = out;
                          return S_OK;
                      }});
        });
}

} // namespace kelvo::tool
