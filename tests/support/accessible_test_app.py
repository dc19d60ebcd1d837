#!/usr/bin/python3
"""A GTK 3 application whose accessibility tree the tests read through AT-SPI.

Layouts:
  form  a label, a single-line entry, a password entry, an editable and a
        read-only multi-line text view, a button and a combo box, in that
        order in one vertical box; --focus names the widget that gets the
        keyboard focus, or "none".
  many  --labels labels (non-focusable) in rows of ten, nothing focused.
  hidden  no window at all: the application is only on the accessibility bus.

The application prints one line on standard output when its window is
active and the focus is where it was asked to be, as its accessibility
tree reports it (GTK updates that a moment after the focus itself):
"ready focus=NAME"
("ready focus=none" at once for the hidden layout).
Commands arrive as lines on the descriptor --command-fd names, if any:
  focus NAME    move the focus; answered "focused NAME" once it is there
  destroy NAME  destroy the widget; answered "destroyed NAME"
"""

import argparse
import sys

import gi

gi.require_version("Atk", "1.0")
gi.require_version("Gtk", "3.0")
from gi.repository import Atk, GLib, Gtk  # noqa: E402


def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def text_view(editable):
    view = Gtk.TextView()
    view.get_buffer().set_text("first line\nsecond line")
    view.set_editable(editable)
    view.set_cursor_visible(editable)
    scrolled = Gtk.ScrolledWindow()
    scrolled.set_size_request(200, 60)
    scrolled.add(view)
    return view, scrolled


def build_form(box):
    widgets = {}
    box.pack_start(Gtk.Label(label="Name"), False, False, 0)
    widgets["entry"] = Gtk.Entry(text="hello")
    box.pack_start(widgets["entry"], False, False, 0)
    widgets["password"] = Gtk.Entry(text="secret", visibility=False)
    box.pack_start(widgets["password"], False, False, 0)
    widgets["textview"], scrolled = text_view(editable=True)
    box.pack_start(scrolled, False, False, 0)
    widgets["readonly"], scrolled = text_view(editable=False)
    box.pack_start(scrolled, False, False, 0)
    widgets["button"] = Gtk.Button(label="Press")
    box.pack_start(widgets["button"], False, False, 0)
    combo = Gtk.ComboBoxText()
    for choice in ("one", "two"):
        combo.append_text(choice)
    combo.set_active(0)
    widgets["combo"] = combo
    box.pack_start(combo, False, False, 0)
    return widgets


def build_many(box, labels):
    row = None
    for index in range(labels):
        if index % 10 == 0:
            row = Gtk.Box(orientation=Gtk.Orientation.HORIZONTAL, spacing=2)
            box.pack_start(row, False, False, 0)
        row.pack_start(Gtk.Label(label=str(index)), False, False, 0)
    return {}


class App:
    def __init__(self, arguments):
        self.command_fd = arguments.command_fd
        if arguments.layout == "hidden":
            GLib.idle_add(say, "ready focus=none")
            self.widgets = {}
            self.watch_commands()
            return
        self.window = Gtk.Window(title=arguments.title)
        self.window.set_default_size(400, 300)
        self.window.connect("destroy", Gtk.main_quit)
        box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=4)
        scroller = Gtk.ScrolledWindow() if arguments.layout == "many" else None
        if scroller:
            scroller.add(box)
            self.window.add(scroller)
        else:
            self.window.add(box)
        if arguments.layout == "form":
            self.widgets = build_form(box)
        else:
            self.widgets = build_many(box, arguments.labels)
        self.wanted = arguments.focus if arguments.layout == "form" else "none"
        if self.wanted != "none" and self.wanted not in self.widgets:
            raise SystemExit("unknown widget: " + self.wanted)
        self.announced = None
        self.pending_answer = None
        self.recheck = None
        self.window.connect("notify::is-active", self.check)
        self.window.connect("set-focus", lambda *_: GLib.idle_add(self.check))
        self.window.show_all()
        self.apply_focus()
        self.window.present()
        self.watch_commands()

    def apply_focus(self):
        if self.wanted == "none":
            self.window.set_focus(None)
        else:
            self.widgets[self.wanted].grab_focus()

    @staticmethod
    def reports(widget, state):
        return widget.get_accessible().ref_state_set().contains_state(state)

    def focus_in_place(self):
        if not self.window.is_active() or not self.reports(self.window, Atk.StateType.ACTIVE):
            return False
        focused = self.window.get_focus()
        if self.wanted == "none":
            return focused is None
        return (focused is self.widgets[self.wanted] and focused.has_focus() and
                self.reports(focused, Atk.StateType.FOCUSED))

    def check_again(self):
        self.recheck = None
        return self.check()

    def check(self, *_):
        if self.announced == self.wanted:
            return False
        if not self.focus_in_place():
            # Until the window is active there is an event to come; after
            # that, only the accessibility tree's own update.
            if self.window.is_active() and not self.recheck:
                self.recheck = GLib.timeout_add(10, self.check_again)
            return False
        self.announced = self.wanted
        say(self.pending_answer or "ready focus=" + self.wanted)
        self.pending_answer = None
        return False

    def watch_commands(self):
        # Named, never guessed: without the option, descriptor 3 may well be
        # one of GTK's own connections.
        if self.command_fd is None:
            return
        channel = GLib.IOChannel.unix_new(self.command_fd)
        GLib.io_add_watch(channel, GLib.PRIORITY_DEFAULT, GLib.IO_IN | GLib.IO_HUP,
                          self.on_command)

    def on_command(self, channel, condition):
        line = channel.readline()
        if not line:
            Gtk.main_quit()
            return False
        verb, _, name = line.strip().partition(" ")
        if verb == "focus":
            self.wanted = name
            self.pending_answer = "focused " + name
            self.announced = None
            self.apply_focus()
            GLib.idle_add(self.check)
        elif verb == "destroy":
            self.widgets.pop(name).destroy()
            say("destroyed " + name)
        return True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--layout", choices=("form", "many", "hidden"), default="form")
    parser.add_argument("--focus", default="entry")
    parser.add_argument("--labels", type=int, default=500)
    parser.add_argument("--title", default="Accessible test app")
    parser.add_argument("--program-name", help="WM_CLASS instance and accessible name")
    parser.add_argument("--command-fd", type=int, help="descriptor the commands arrive on")
    arguments = parser.parse_args()
    if arguments.program_name:
        GLib.set_prgname(arguments.program_name)
    App(arguments)
    Gtk.main()


if __name__ == "__main__":
    main()
