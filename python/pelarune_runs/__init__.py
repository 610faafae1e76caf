"""Runs over many market files, serially, on a process pool or on Dask, shared by the backtest
(pelarune_flumine) and the export (pelarune_tables): the engines and Ctrl-C, the journal that
lets a run resume, the progress bar, the checks made before any file is read and the command
lines' common parts. It needs neither flumine nor pandas."""
