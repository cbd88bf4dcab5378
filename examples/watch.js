// Watches the figures of a Xen host and its VMs: calls Update every few seconds and
// prints the host load and each VM's status and load.
//
//   cscript //nologo watch.js /host:H /user:U /password:P [/mode:1|2|3] [/port:N] [/rounds:N] [/every:SECONDS]
// Named arguments (/name:value), read one by one so that every script host takes them.
function arg(name, fallback) {
  var value = fallback;
  for (var i = 0; i < WScript.Arguments.length; i++) {
    var a = WScript.Arguments(i);
    if (a.toLowerCase().indexOf("/" + name.toLowerCase() + ":") == 0) value = a.substring(name.length + 2);
  }
  return value;
}
// WScript.Sleep where the script host has it, else a wait on the clock.
function pause(ms) {
  try { WScript.Sleep(ms); return; } catch (e) {}
  var end = new Date().getTime() + ms;
  while (new Date().getTime() < end) {}
}
var factory = new ActiveXObject("Vantrel.XenFactory");
if (arg("mode", "") != "") factory.ConnectionMode = parseInt(arg("mode", ""), 10);
if (arg("port", "") != "") factory.Port = parseInt(arg("port", ""), 10);
var rounds = parseInt(arg("rounds", "3"), 10);
var every = parseInt(arg("every", "5"), 10);

var session;
try {
  session = factory.CreateSession(arg("host", ""), arg("user", ""), arg("password", ""));
} catch (e) {
  WScript.Echo("Cannot open a session (" + hex(e.number) + "): " + e.description);
  WScript.Quit(1);
}

function hex(n) { return (n < 0 ? n + 0x100000000 : n).toString(16).toUpperCase(); }
function fixed(x) { return (Math.round(x * 10) / 10).toFixed(1); }
function pad(s, n) { s = String(s); while (s.length < n) s += " "; return s; }

for (var round = 1; round <= rounds; round++) {
  try {
    session.Update();
  } catch (e) {
    WScript.Echo("Update failed: " + e.description);
    WScript.Quit(1);
  }
  WScript.Echo("round " + round + ": host CPU " + fixed(session.CpuUsage) + " %, memory " +
               fixed(session.MemoryUsage) + " %, network " + fixed(session.NetworkIO));
  for (var e = new Enumerator(session.VMList); !e.atEnd(); e.moveNext()) {
    var vm = e.item();
    WScript.Echo("  " + pad(vm.Name, 20) + pad(vm.Status, 14) + "CPU " + fixed(vm.CpuUsage) +
                 " %  memory " + fixed(vm.MemoryUsage) + " %");
  }
  if (round < rounds) pause(every * 1000);
}
session.Close();
