# brivane-trace's HDF5 writer, run after brivane/plots.py and brivane/recording.py in one
# script (see Hdf5Writer.h.in), which first makes sure numpy and h5py are there: it writes the
# tables brivane-trace hands it on its standard input with brivane.recording's own writer, so
# that the file is laid out as a Recorder lays out its trace.
#
# Argument: the file to write (made empty by brivane-trace beside its name). Input: a line
# of JSON, the tables' layout; a line "comments N" and the trace's N comments, one a line;
# then a line "tables DEVICE FRAMES EXCHANGES MESSAGES JUNK_FRAMES JUNK_BYTES UNANSWERED
# UNMATCHED" followed by the rows of its exchanges and its messages.
import json
import sys


def _main(path):
    import h5py

    source = sys.stdin.buffer
    layout = json.loads(source.readline())
    count = int(source.readline().split()[1])
    comments = [source.readline().decode("utf-8", "replace").rstrip("\n") for _ in range(count)]
    head = source.readline().split()
    if not head:
        sys.exit("brivane-trace: the HDF5 writer was given no session")
    frames, exchanges, messages, junk_frames, junk_bytes, unanswered, unmatched = map(
        int, head[2:])
    rows = {}
    for kind, count in (("exchanges", exchanges), ("messages", messages)):
        size = count * layout[kind]["itemsize"]
        data = source.read(size)
        if len(data) != size:
            sys.exit(f"brivane-trace: the HDF5 writer was given {len(data)} of {size} bytes "
                     f"of {kind}")
        rows[kind] = table(layout, kind, data)
    with h5py.File(path, "w", libver="latest") as file:
        write_trace_file(file, device=head[1].decode(), frames=frames,
                         exchanges=rows["exchanges"], messages=rows["messages"],
                         junk_frames=junk_frames, junk_bytes=junk_bytes, unanswered=unanswered,
                         unmatched=unmatched, comments=comments, epoch=epoch_of(comments))


_main(*sys.argv[1:2])
