#!/usr/bin/python3
"""A stand-in for the session's own polkit agent in test_own_agent.py: registered for one process
(as `pkttyagent --process` is), it answers every request with this password through polkit's real
helper and adds a line to the file given for each request it is asked.

Usage: standin_agent.py PID PASSWORD ASKED-FILE; prints "registered" once polkit has it."""

import os
import pwd
import subprocess
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

HELPER = "/usr/lib/polkit-1/polkit-agent-helper-1"
PATH = "/com/tavrel/test/StandinAgent"
pid, password, asked = int(sys.argv[1]), sys.argv[2], sys.argv[3]


class Agent(dbus.service.Object):
    @dbus.service.method("org.freedesktop.PolicyKit1.AuthenticationAgent", in_signature="sssa{ss}sa(sa{sv})",
                         out_signature="")
    def BeginAuthentication(self, action, message, icon, details, cookie, identities):
        with open(asked, "a") as out:
            print(action, file=out)
        user = next(pwd.getpwuid(int(d["uid"])).pw_name
                    for kind, d in identities if kind == "unix-user" and int(d["uid"]) == os.getuid())
        helper = subprocess.Popen([HELPER, user], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        helper.stdin.write(cookie + "\n")
        helper.stdin.flush()
        for line in helper.stdout:
            if line.startswith("PAM_PROMPT_ECHO"):
                helper.stdin.write(password + "\n")
                helper.stdin.flush()
        helper.wait()

    @dbus.service.method("org.freedesktop.PolicyKit1.AuthenticationAgent", in_signature="s", out_signature="")
    def CancelAuthentication(self, cookie):
        pass


dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SystemBus()
agent = Agent(bus, PATH)
start = int(open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()[19])
subject = ("unix-process", {"pid": dbus.UInt32(pid), "start-time": dbus.UInt64(start), "uid": dbus.Int32(os.getuid())})
authority = dbus.Interface(bus.get_object("org.freedesktop.PolicyKit1", "/org/freedesktop/PolicyKit1/Authority"),
                           "org.freedesktop.PolicyKit1.Authority")
authority.RegisterAuthenticationAgent(subject, "C.UTF-8", PATH)
print("registered", flush=True)
GLib.MainLoop().run()
