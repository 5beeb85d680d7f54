<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>InfoPlist</name>
    <message>
        <source>Halvex Capture</source>
        <translation>Halvex Capture</translation>
    </message>
    <message>
        <source>connect</source>
        <translation>verbunden</translation>
    </message>
    <message>
        <source>disconnect</source>
        <translation>getrennt</translation>
    </message>
    <message>
        <source>Live</source>
        <translation>Live</translation>
    </message>
    <message>
        <source>Stop</source>
        <translation>Stopp</translation>
    </message>
    <message>
        <source>Start Capture</source>
        <translation>Aufnahme starten</translation>
    </message>
    <message>
        <source>Stop Capture</source>
        <translation>Aufnahme beenden</translation>
    </message>
    <message>
        <source>Raw sensor data</source>
        <translation>Sensor-Rohdaten</translation>
    </message>
    <message>
        <source>Movie format</source>
        <translation>Videoformat</translation>
    </message>
    <message>
        <source>Processed</source>
        <translation>Verarbeitet</translation>
    </message>
    <message>
        <source>SER: the image as the live view shows it, in 8 bits, instead of the sensor samples</source>
        <translation>SER: das Bild, wie die Live-Ansicht es zeigt, in 8 Bit, statt der Sensordaten</translation>
    </message>
    <message>
        <source>Start Video</source>
        <translation>Video starten</translation>
    </message>
    <message>
        <source>Stop Video</source>
        <translation>Video beenden</translation>
    </message>
    <message>
        <source>cover telescope</source>
        <translation>Teleskop abdecken</translation>
    </message>
    <message>
        <source>The snapshot could not be saved:</source>
        <translation>Die Aufnahme konnte nicht gespeichert werden:</translation>
    </message>
    <message>
        <source>The movie could not be saved:</source>
        <translation>Das Video konnte nicht gespeichert werden:</translation>
    </message>
    <message>
        <source>WB Succeed</source>
        <translation>Weißabgleich gelungen</translation>
    </message>
    <message>
        <source>WB Fail</source>
        <translation>Weißabgleich fehlgeschlagen</translation>
    </message>
    <message>
        <source>Camera</source>
        <translation>Kamera</translation>
    </message>
    <message>
        <source>Zoom In</source>
        <translation>Vergrößern</translation>
    </message>
    <message>
        <source>Zoom Out</source>
        <translation>Verkleinern</translation>
    </message>
    <message>
        <source>Actual Size</source>
        <translation>Originalgröße</translation>
    </message>
    <message>
        <source>Resolution</source>
        <translation>Auflösung</translation>
    </message>
    <message>
        <source>Save size</source>
        <translation>Speichergröße</translation>
    </message>
    <message>
        <source>Pixel clock</source>
        <translation>Pixeltakt</translation>
    </message>
    <message>
        <source>Bit depth</source>
        <translation>Bittiefe</translation>
    </message>
    <message>
        <source>8 bit</source>
        <translation>8 Bit</translation>
    </message>
    <message>
        <source>16 bit</source>
        <translation>16 Bit</translation>
    </message>
    <message>
        <source>Gain</source>
        <translation>Verstärkung</translation>
    </message>
    <message>
        <source>Exposure (ms)</source>
        <translation>Belichtung (ms)</translation>
    </message>
    <message>
        <source>Auto exposure</source>
        <translation>Automatische Belichtung</translation>
    </message>
    <message>
        <source>Restart</source>
        <translation>Neu starten</translation>
    </message>
    <message>
        <source>Black level</source>
        <translation>Schwarzwert</translation>
    </message>
    <message>
        <source>Gamma</source>
        <translation>Gamma</translation>
    </message>
    <message>
        <source>Contrast</source>
        <translation>Kontrast</translation>
    </message>
    <message>
        <source>Defect correction</source>
        <translation>Pixelfehlerkorrektur</translation>
    </message>
    <message>
        <source>Flip horizontal</source>
        <translation>Horizontal spiegeln</translation>
    </message>
    <message>
        <source>Flip vertical</source>
        <translation>Vertikal spiegeln</translation>
    </message>
    <message>
        <source>Defaults</source>
        <translation>Standardwerte</translation>
    </message>
    <message>
        <source>Monochrome</source>
        <translation>Schwarzweiß</translation>
    </message>
    <message>
        <source>Colour enhancement</source>
        <translation>Farbverstärkung</translation>
    </message>
    <message>
        <source>Saturation</source>
        <translation>Sättigung</translation>
    </message>
    <message>
        <source>White balance</source>
        <translation>Weißabgleich</translation>
    </message>
    <message>
        <source>Red</source>
        <translation>Rot</translation>
    </message>
    <message>
        <source>Green</source>
        <translation>Grün</translation>
    </message>
    <message>
        <source>Blue</source>
        <translation>Blau</translation>
    </message>
    <message>
        <source>Colour</source>
        <translation>Farbe</translation>
    </message>
    <message>
        <source>Browse...</source>
        <translation>Durchsuchen...</translation>
    </message>
    <message>
        <source>Directory</source>
        <translation>Verzeichnis</translation>
    </message>
    <message>
        <source>File name</source>
        <translation>Dateiname</translation>
    </message>
    <message>
        <source>Count</source>
        <translation>Anzahl</translation>
    </message>
    <message>
        <source>Formats</source>
        <translation>Formate</translation>
    </message>
    <message>
        <source>Flat field</source>
        <translation>Flachfeld</translation>
    </message>
    <message>
        <source>Calibrate</source>
        <translation>Kalibrieren</translation>
    </message>
    <message>
        <source>Dark frame</source>
        <translation>Dunkelbild</translation>
    </message>
    <message>
        <source>Capture</source>
        <translation>Aufnahme</translation>
    </message>
    <message>
        <source>Simulate</source>
        <translation>Simulieren</translation>
    </message>
    <message>
        <source>Plug in camera</source>
        <translation>Kamera anschließen</translation>
    </message>
    <message>
        <source>Unplug camera</source>
        <translation>Kamera trennen</translation>
    </message>
    <message>
        <source>(none)</source>
        <translation>(keine)</translation>
    </message>
    <message>
        <source>%1 is not a directory</source>
        <translation>%1 ist kein Verzeichnis</translation>
    </message>
    <message>
        <source>%1 cannot be written</source>
        <translation>In %1 kann nicht geschrieben werden</translation>
    </message>
    <message>
        <source>%1 cannot be created</source>
        <translation>%1 kann nicht angelegt werden</translation>
    </message>
    <message>
        <source>%1 does not exist yet; it is made with the first snapshot or movie</source>
        <translation>%1 gibt es noch nicht; es wird mit dem ersten Bild oder Film angelegt</translation>
    </message>
    <message>
        <source>The movie %1 cannot be written</source>
        <translation>Der Film %1 kann nicht geschrieben werden</translation>
    </message>
    <message>
        <source>%1 bit</source>
        <translation>%1 Bit</translation>
    </message>
    <message>
        <source>%1 of %2</source>
        <translation>%1 von %2</translation>
    </message>
    <message>
        <source>%1 s left</source>
        <translation>noch %1 s</translation>
    </message>
    <message>
        <source>(recorder %1)</source>
        <translation>(Rekorder %1)</translation>
    </message>
    <message>
        <source>0: as fast as the camera delivers</source>
        <translation>0: so schnell die Kamera liefert</translation>
    </message>
    <message>
        <source>100 %</source>
        <translation>100 %</translation>
    </message>
    <message>
        <source>Automatic</source>
        <translation>Automatisch</translation>
    </message>
    <message>
        <source>Bias</source>
        <translation>Bias</translation>
    </message>
    <message>
        <source>Black point</source>
        <translation>Schwarzpunkt</translation>
    </message>
    <message>
        <source>Centre box</source>
        <translation>Feld mittig</translation>
    </message>
    <message>
        <source>Clipped: %1 dark, %2 bright</source>
        <translation>Abgeschnitten: %1 dunkel, %2 hell</translation>
    </message>
    <message>
        <source>Contrast (gradient)</source>
        <translation>Kontrast (Gradient)</translation>
    </message>
    <message>
        <source>Cooler</source>
        <translation>Kühlung</translation>
    </message>
    <message>
        <source>Cooling</source>
        <translation>Kühlung</translation>
    </message>
    <message>
        <source>Dark</source>
        <translation>Dunkelbild</translation>
    </message>
    <message>
        <source>Disk nearly full: %1 MiB free for snapshots</source>
        <translation>Datenträger fast voll: %1 MiB frei für Aufnahmen</translation>
    </message>
    <message>
        <source>Display</source>
        <translation>Anzeige</translation>
    </message>
    <message>
        <source>Done: %1 frames</source>
        <translation>Fertig: %1 Bilder</translation>
    </message>
    <message>
        <source>Drag a box on the image to measure</source>
        <translation>Ein Messfeld auf dem Bild aufziehen</translation>
    </message>
    <message>
        <source>Dropped %1</source>
        <translation>Verworfen %1</translation>
    </message>
    <message>
        <source>Exposure</source>
        <translation>Belichtung</translation>
    </message>
    <message>
        <source>Fit</source>
        <translation>Einpassen</translation>
    </message>
    <message>
        <source>Flat</source>
        <translation>Flat</translation>
    </message>
    <message>
        <source>Focus</source>
        <translation>Fokus</translation>
    </message>
    <message>
        <source>Frame type</source>
        <translation>Bildart</translation>
    </message>
    <message>
        <source>Frames</source>
        <translation>Bilder</translation>
    </message>
    <message>
        <source>HFR %1 px</source>
        <translation>HFR %1 px</translation>
    </message>
    <message>
        <source>Interval</source>
        <translation>Intervall</translation>
    </message>
    <message>
        <source>Last file: %1</source>
        <translation>Letzte Datei: %1</translation>
    </message>
    <message>
        <source>Light</source>
        <translation>Licht</translation>
    </message>
    <message>
        <source>Logarithmic scale over the camera's whole range</source>
        <translation>Logarithmische Skala über den ganzen Bereich der Kamera</translation>
    </message>
    <message>
        <source>Logarithmic</source>
        <translation>Logarithmisch</translation>
    </message>
    <message>
        <source>Manual</source>
        <translation>Manuell</translation>
    </message>
    <message>
        <source>Mark clipped</source>
        <translation>Abgeschnittene markieren</translation>
    </message>
    <message>
        <source>No camera</source>
        <translation>Keine Kamera</translation>
    </message>
    <message>
        <source>No star in the box</source>
        <translation>Kein Stern im Feld</translation>
    </message>
    <message>
        <source>Off</source>
        <translation>Aus</translation>
    </message>
    <message>
        <source>Pick box</source>
        <translation>Feld wählen</translation>
    </message>
    <message>
        <source>REC</source>
        <translation>AUFN</translation>
    </message>
    <message>
        <source>Reticle</source>
        <translation>Fadenkreuz</translation>
    </message>
    <message>
        <source>Sensor temperature, last minutes</source>
        <translation>Sensortemperatur, letzte Minuten</translation>
    </message>
    <message>
        <source>Sequence</source>
        <translation>Serie</translation>
    </message>
    <message>
        <source>Sharpness %1</source>
        <translation>Schärfe %1</translation>
    </message>
    <message>
        <source>Snapshot not saved: %1</source>
        <translation>Aufnahme nicht gespeichert: %1</translation>
    </message>
    <message>
        <source>Stars (half-flux radius)</source>
        <translation>Sterne (Halbflussradius)</translation>
    </message>
    <message>
        <source>Start sequence</source>
        <translation>Serie starten</translation>
    </message>
    <message>
        <source>Stop exposure</source>
        <translation>Belichtung abbrechen</translation>
    </message>
    <message>
        <source>Stop sequence</source>
        <translation>Serie beenden</translation>
    </message>
    <message>
        <source>Stopped after %1 of %2</source>
        <translation>Beendet nach %1 von %2</translation>
    </message>
    <message>
        <source>Stretch</source>
        <translation>Streckung</translation>
    </message>
    <message>
        <source>White point</source>
        <translation>Weißpunkt</translation>
    </message>
    <message>
        <source>The stretch changes the live view only, never what is saved or recorded.</source>
        <translation>Die Streckung ändert nur die Live-Ansicht, nie das Gespeicherte oder Aufgezeichnete.</translation>
    </message>
</context>
</TS>
