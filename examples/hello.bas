10 PRINT "Hello from flashtag"
20 FOR I = 1 TO 3
30 PRINT I
40 NEXT I
