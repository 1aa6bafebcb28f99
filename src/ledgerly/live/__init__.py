"""The live wing: one ledger kept current, and the views that follow it.

`ticks` keeps a ledger current from file-system notifications (with the
incremental listing of `tracking`); `status` computes where usage stands
right now; `server`, `routes`, `guard`, `connections` and `follow` are the
local server (extra ``serve``), which `serve` starts and runs, with the
dashboard in `static/`; `address` and `client`
find a running server and ask it a question. Nothing here imports the
command line.
"""
