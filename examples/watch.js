// Watches the figures of a Xen host and its VMs: calls Update every few seconds and
// prints the host load and each VM's status and load.
//
//   cscript //nologo watch.js /host:H /user:U /password:P [/mode:1|2|3] [/port:N] [/rounds:N] [/every:SECONDS]
var args = WScript.Arguments.Named;
var factory = new ActiveXObject("Vantrel.XenFactory");
if (args.Exists("mode")) factory.ConnectionMode = parseInt(args("mode"), 10);
if (args.Exists("port")) factory.Port = parseInt(args("port"), 10);
var rounds = args.Exists("rounds") ? parseInt(args("rounds"), 10) : 3;
var every = args.Exists("every") ? parseInt(args("every"), 10) : 5;

var session;
try {
  session = factory.CreateSession(args("host"), args("user"), args("password"));
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
  if (round < rounds) WScript.Sleep(every * 1000);
}
session.Close();
