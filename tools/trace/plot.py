# brivane-trace's plotter, run after brivane/plots.py in one script (see Plotter.h.in), which
# first makes sure numpy and matplotlib are there: it draws the tables brivane-trace writes
# on its standard input, into an image or, live, in a window that follows them.
#
# Arguments: the image file and its format (png, svg, pdf...), which the file's name need not
# tell; no file for a window; then the answer time above which an answer counts as late, in
# microseconds ("" for none); then the figure's options as JSON ("" for none): size, dpi,
# style, window and panels, as brivane.plots.Panels takes them. Input: a line of JSON, the tables' layout, then for each state
# of the session a line "tables DEVICE FRAMES EXCHANGES MESSAGES JUNK_FRAMES JUNK_BYTES
# UNANSWERED UNMATCHED" followed by the rows of its exchanges and its messages.
import json
import signal
import sys
import threading


def _main(image, image_format, late_us="", options=""):
    # Ctrl-C reaches brivane-trace too, which then ends the input: the plot ends with it.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    import matplotlib

    source = sys.stdin.buffer
    layout = json.loads(source.readline())
    look = json.loads(options) if options else {}
    window = look.get("window")

    def tables():
        """The next state of the session: its device, columns and title; None at the end."""
        head = source.readline().split()
        if not head:
            return None
        device = head[1].decode()
        frames, exchanges, messages, junk, _, unanswered, unmatched = map(int, head[2:])
        rows = {}
        for kind, count in (("exchanges", exchanges), ("messages", messages)):
            size = count * layout[kind]["itemsize"]
            data = source.read(size)
            if len(data) != size:
                return None
            rows[kind] = table(layout, kind, data)
        columns = (grip_columns(rows["messages"]) if device == "grip"
                   else arm_columns(rows["exchanges"]))
        if late_us and device != "grip":
            columns["late"] = rows["exchanges"]["answer_us"] > float(late_us)
        title = trace_title(device, columns, frames, unanswered, unmatched, junk,
                            float(late_us) if late_us else None)
        if window is not None:
            title += "; " + shown(columns, window)
        return device, columns, title

    def panels(figure, columns, device, every=False):
        """The panels as the options say; what they refuse ends the plotter, saying why."""
        try:
            return Panels(figure, columns, device, every=every, **look)
        except (TypeError, ValueError) as error:
            sys.exit(f"brivane-trace: {error}")

    if image:
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        last = None
        while (state := tables()) is not None:
            last = state
        if last is None:
            sys.exit("brivane-trace: the plotter was given no session")
        device, columns, title = last
        figure = plt.figure()
        view = panels(figure, columns, device)
        view.update(columns, title)
        figure.savefig(image, format=image_format, dpi=view.dpi)
        return

    import matplotlib.pyplot as plt
    if plt.get_backend().lower() in ("agg", "pdf", "ps", "svg", "cairo", "template"):
        sys.exit("brivane-trace: no window can be opened here (no display, or no GUI toolkit "
                 "for matplotlib): --plot OUT.png draws the view into a file")
    latest = [None]
    ended = threading.Event()

    def read():
        while (state := tables()) is not None:
            latest[0] = state
        ended.set()

    threading.Thread(target=read, daemon=True).start()
    figure = plt.figure()
    view = {}

    def refresh():
        state, latest[0] = latest[0], None
        if state is not None:
            device, columns, title = state
            if "panels" not in view:
                view["panels"] = panels(figure, columns, device, every=True)
            view["panels"].update(columns, title)
            figure.canvas.draw_idle()
        if ended.is_set() and latest[0] is None:
            plt.close(figure)

    timer = figure.canvas.new_timer(interval=200)
    timer.add_callback(refresh)
    timer.start()
    plt.show()


_main(*sys.argv[1:5])
