// A late-bound client of Vantrel as a JScript user writes one.
// usage: cscript //nologo session_client.js MODE PORT USER PASSWORD VM
//   MODE  connection mode (1 autodetect, 2 xen3, 3 xen4); PORT a port or - for the
//   mode's default; VM the name of a halted VM to start.
// Prints one key=value line per observation; failures as key=&H<number>|<description>.
var args = WScript.Arguments;
var mode = parseInt(args(0), 10), port = args(1), user = args(2), pass = args(3), target = args(4);

function out(k, v) { WScript.Echo(k + "=" + v); }
function hex(n) { return "&H" + ((n < 0 ? n + 0x100000000 : n).toString(16).toUpperCase()); }
function attempt(k, f) {
  try {
    f();
    out(k, "no error");
  } catch (e) {
    out(k, hex(e.number) + "|" + e.description);
  }
}
// WScript.Sleep is not available under every script host: wait on the clock.
function pause(ms) {
  var end = new Date().getTime() + ms;
  while (new Date().getTime() < end) {}
}

var f = new ActiveXObject("Vantrel.XenFactory");
out("DefaultMode", f.ConnectionMode + "," + f.Port + "," + f.RefreshingDelay);
attempt("Mode4", function () { f.ConnectionMode = 4; });
f.ConnectionMode = mode;
if (port != "-") f.Port = parseInt(port, 10);
f.RefreshingDelay = 1;
out("Settings", f.ConnectionMode + "," + f.Port + "," + f.RefreshingDelay);

attempt("WrongPassword", function () { f.CreateSession("127.0.0.1", user, pass + "-wrong"); });

var s = f.CreateSession("127.0.0.1", user, pass);
out("ServerName", s.ServerName);
out("ServerDescription", s.ServerDescription);
out("XenVersion", s.XenVersion);
out("Status", s.Status);
out("NumCpus", s.NumCpus);
out("Memory", s.Memory);
out("CpuUsage", s.CpuUsage);
out("MemoryUsage", s.MemoryUsage);
out("DiskIO", s.DiskIO);
out("NetworkIO", s.NetworkIO);

var list = s.VMList;
out("Count", list.Count);
var names = [];
for (var e = new Enumerator(list); !e.atEnd(); e.moveNext()) {
  var vm = e.item();
  names.push(vm.Name);
  out("VM", vm.Name + "|" + vm.Status + "|" + vm.Description + "|" + vm.NumCpus + "|" + vm.Memory);
}
out("Names", names.join(","));
out("First", list.Item(1).Name);
out("DefaultMember", list(list.Count).Name);
attempt("Item0", function () { list.Item(0); });

var vm = null;
for (var i = 1; i <= list.Count; i++) {
  if (list.Item(i).Name == target) vm = list.Item(i);
}
out("Target", vm.Name + "|" + vm.Status);
vm.Start();
out("AfterStart", vm.Status);
var status = "";
for (var tries = 0; tries < 40; tries++) {
  s.Update();
  status = vm.Status;
  if (status == "UP") break;
  pause(250);
}
out("Refreshed", status);
attempt("StartRunning", function () { vm.Start(); });

// A VM kept after its session went.
list = null;
s = null;
CollectGarbage();
out("KeptName", vm.Name);
attempt("KeptStart", function () { vm.Start(); });
out("Done", "yes");
